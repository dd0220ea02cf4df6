#include "facts.h"

#include <nlohmann/json.hpp>

namespace pkgcheck {

namespace inf = winsim::inf;
using winsim::EqualNoCase;
using winsim::Narrow;
using winsim::Widen;

namespace {

constexpr uint32_t kAssociatedService = 0x00000002;   // SPSVCINST_ASSOCSERVICE

nlohmann::ordered_json TextOrNull(const Text &text)
{
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(Narrow(text));
}

// The models line x64 Windows installs the DSM from: the deployment tools
// manage x64 hosts only.
const inf::Line *DsmModelLine(const inf::InfFile &file, const Text &hardwareId)
{
    const std::vector<ModelLine> lines = FindModelLines(file, Platform::Amd64, hardwareId);
    return lines.empty() ? nullptr : lines.front().line;
}

// The service the DSM device runs: the AddService with flag 0x2 of its
// install section's .Services.
Text AssociatedService(const inf::InfFile &file, const inf::Line &model)
{
    if (model.fields.empty())
        return Text();
    const inf::Section *install = InstallSection(file, Platform::Amd64, model.fields[0]);
    const inf::Section *services = install ? file.FindSection(install->name + u".Services") : nullptr;
    if (services == nullptr)
        return Text();
    for (const inf::Line &line : services->lines) {
        if (!line.key || !EqualNoCase(*line.key, u"AddService") || line.fields.size() < 2)
            continue;
        auto flags = inf::ParseInt(line.fields[1]);
        if (flags && (static_cast<uint32_t>(*flags) & kAssociatedService))
            return line.fields[0];
    }
    return Text();
}

}  // namespace

std::string RenderFacts(const Package &package)
{
    const InfDocument &dsm = package.Dsm();
    nlohmann::ordered_json driverVer, description, service;
    nlohmann::ordered_json services = nlohmann::ordered_json::array();
    nlohmann::ordered_json strings = nlohmann::ordered_json::array();
    if (dsm.file) {
        if (const inf::Line *line = dsm.file->FindLine(u"Version", u"DriverVer"))
            driverVer = {{"date", TextOrNull(line->fields.empty() ? Text() : line->fields[0])},
                         {"version", TextOrNull(line->fields.size() > 1 ? line->fields[1] : Text())}};
        if (const inf::Line *model = DsmModelLine(*dsm.file, Widen(package.dsmHwid))) {
            description = TextOrNull(model->key ? *model->key : Text());
            service = TextOrNull(AssociatedService(*dsm.file, *model));
        }
        for (const Text &name : InstalledServices(*dsm.file))
            services.push_back(Narrow(name));
    }
    for (const Text &text : SupportedDeviceStrings(dsm))
        strings.push_back(Narrow(text));
    const nlohmann::ordered_json facts = {
        {"dsm_inf", dsm.fileName},   {"dsm_hwid", package.dsmHwid},     {"dsm_description", description},
        {"dsm_service", service},    {"driver_ver", driverVer},         {"supported_devices", strings},
        {"services", services},
    };
    return facts.dump(2) + "\n";
}

}  // namespace pkgcheck
