// The INF under check, as the INF checks, the uninstall checks and the file
// checks see it, and the checks of the latter two (inf_checks.cpp puts
// them in its table).
#pragma once

#include <vector>

#include "inf_text.h"
#include "package.h"
#include "platforms.h"
#include "report.h"

namespace pkgcheck {

struct Subject {
    const Package &package;
    const InfDocument &document;
    const inf::InfFile &file;
    Text hardwareId;
    Text expectedDescription;   // empty: the role's device is not looked for by description
};

// The setup classes of the three INFs, in the order of the Role
// enumeration: how reasons name a class key of theirs, and why an INF of the
// role must be of that class.
struct RoleClass {
    const GUID *guid;
    const char *spokenName;
    const char *why;
};
extern const RoleClass kRoleClasses[3];

// Every models line that lists the INF's hardware ID, on a platform.
std::vector<inf::ModelLine> ModelLines(const Subject &s, Platform platform);

// uninstall_checks.cpp: [DefaultUninstall] and its services section; the
// shared strings the install appends deleted at -u; DelReg lines deleting
// only what the install added.
Cell CheckUninstall(const Subject &s);
Cell CheckAppendedStringsDeleted(const Subject &s);
Cell CheckDeletionScope(const Subject &s);

// file_checks.cpp: CopyFiles sources in the package; the catalog [Version]
// names; driver files that are PE images of the platform; catalogs that are
// DER PKCS#7 signed-data.
Cell CheckCopyFiles(const Subject &s);
Cell CheckCatalog(const Subject &s);
Cell CheckDriverImages(const Subject &s);
Cell CheckCatalogFormat(const Subject &s);

}  // namespace pkgcheck
