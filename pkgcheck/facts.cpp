#include "facts.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "platforms.h"

namespace pkgcheck {

namespace {

nlohmann::ordered_json TextOrNull(const Text &text)
{
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(winsim::Narrow(text));
}

Text DsmService(const Package &package)
{
    const inf::InfFile &file = *package.Dsm().file;
    const winsim::OsInfo &x64 = OldestWindows(Platform::Amd64);
    for (const inf::ModelLine &model : inf::ModelLines(file, x64, winsim::Widen(package.dsmHwid))) {
        const inf::Section *install = inf::InstallSection(file, model.line->fields[0], x64);
        const inf::Section *services = install ? inf::ServicesSection(file, *install) : nullptr;
        if (services == nullptr)
            continue;
        for (const inf::ServiceLine &line : inf::AddServiceLines(*services))
            if (!line.name.empty() && (line.flags & SPSVCINST_ASSOCSERVICE))
                return line.name;
    }
    return Text();
}

}  // namespace

PackageFacts ReadFacts(const Package &package)
{
    PackageFacts facts;
    const InfDocument &dsm = package.Dsm();
    if (!dsm.file)
        return facts;
    facts.supportedDevices = SupportedDeviceStrings(dsm);
    if (const inf::Line *driverVer = dsm.file->FindLine(u"Version", u"DriverVer")) {
        facts.driverVerText = driverVer->CompactText();
        facts.driverVer = inf::ParseDriverVer(*driverVer).driverVer;
    }
    facts.dsmService = DsmService(package);
    return facts;
}

std::string RenderFacts(const Package &package)
{
    const PackageFacts facts = ReadFacts(package);
    nlohmann::ordered_json driverVer;
    if (facts.driverVer) {
        char date[16];
        std::snprintf(date, sizeof date, "%02u/%02u/%04u", facts.driverVer->month, facts.driverVer->day,
                      facts.driverVer->year);
        driverVer = {{"date", date}, {"version", TextOrNull(facts.driverVer->versionText)}};
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
