#include "facts.h"

#include <nlohmann/json.hpp>

namespace pkgcheck {

namespace {

nlohmann::ordered_json TextOrNull(const Text &text)
{
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(winsim::Narrow(text));
}

}  // namespace

std::string RenderFacts(const Package &package)
{
    const PackageFacts facts = ReadFacts(package);
    nlohmann::ordered_json driverVer;
    if (!facts.driverVer.empty()) {
        // "mm/dd/yyyy,w.x.y.z": the date, then the version.
        const size_t comma = facts.driverVer.find(u',');
        driverVer = {{"date", TextOrNull(facts.driverVer.substr(0, comma))},
                     {"version", TextOrNull(comma == Text::npos ? Text() : facts.driverVer.substr(comma + 1))}};
    }
    nlohmann::ordered_json strings = nlohmann::ordered_json::array();
    for (const Text &text : facts.supportedDevices)
        strings.push_back(winsim::Narrow(text));
    const nlohmann::ordered_json document = {
        {"dsm_inf", package.Dsm().fileName}, {"dsm_hwid", package.dsmHwid},
        {"dsm_service", TextOrNull(facts.dsmService)}, {"driver_ver", driverVer},
        {"supported_devices", strings},
    };
    return document.dump(2) + "\n";
}

}  // namespace pkgcheck
