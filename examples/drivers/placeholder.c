/* The example package's driver images: placeholders that do nothing.  They
 * are real PE images of the native subsystem, so that the package check and
 * any loader see the file format a driver has, but each refuses to load: its
 * DriverEntry returns STATUS_NOT_SUPPORTED at once and touches nothing.  Each
 * carries a mark that pkgcheck recognises and warns about.  A vendor ships
 * their own drivers in their place.  Built by build.sh. */

typedef long NTSTATUS;

/* The mark by which pkgcheck tells these images from drivers. */
__attribute__((used)) static const char placeholderMark[] =
    "MPIO-EXAMPLE-PLACEHOLDER: the example package's image, not a driver";

#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)

NTSTATUS __stdcall DriverEntry(void *driverObject, void *registryPath)
{
    (void)driverObject;
    (void)registryPath;
    return STATUS_NOT_SUPPORTED;
}
