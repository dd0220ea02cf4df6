// The platform's facts twice: as the product's header states them for the
// installer, and as the simulated machine states them for Windows.  They
// must agree: a wrong value in the product would otherwise pass against a
// machine that shares it.
#include <gtest/gtest.h>

#include "common/product.h"
#include "winsim/machine.h"

namespace {

TEST(PlatformFacts, TheProductStatesThemAsTheMachineDoes)
{
    const struct {
        const char *fact;
        std::u16string product, machine;
    } facts[] = {
        {"match-key prefix", MATCH_KEY_PREFIX, winsim::kMatchKeyPrefix},
        {"supported-device list key", SUPPORTED_DEVICES_KEY, winsim::kSupportedDevicesKey},
        {"supported-device list value", SUPPORTED_DEVICES_VALUE, winsim::kSupportedDevicesValue},
        {"generic disk ID", GENERIC_DISK_ID, winsim::kGenericDiskId},
        {"MPIO bus hardware ID from 6.0 on", MPIO_BUS_HARDWARE_ID_NEW, winsim::kMpioBusHardwareId},
        {"MPIO bus description", MPIO_BUS_DESCRIPTION, winsim::kMpioBusDescription},
    };
    for (const auto &f : facts)
        EXPECT_EQ(f.product, f.machine) << f.fact;
    EXPECT_EQ(static_cast<size_t>(SUPPORTED_DEVICE_UNITS), winsim::kSupportedDeviceUnits);
}

}  // namespace
