// Writing the machine description: its members in a fixed order, numbers
// and names where they read well (status words in hex, answers by name),
// lists left out when empty.
#include <cstdio>

#include "machine_json.h"

namespace winsim {

namespace {

using namespace description;

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// Small codes as numbers, setup-library codes and other large values in hex.
void WriteCode(JsonWriter &w, uint32_t value)
{
    if (value <= 0xFFFF)
        w.Number(value);
    else
        w.String(Hex32(value));
}

void WriteOs(JsonWriter &w, const OsInfo &os)
{
    w.BeginObject();
    w.Member("major", os.major);
    w.Member("minor", os.minor);
    w.Member("build", os.build);
    w.Member("csd", Narrow(os.csd));
    if (!os.arch.empty())
        w.Member("arch", os.arch);
    w.EndObject();
}

void WriteClock(JsonWriter &w, const Machine &machine)
{
    char time[64];
    const SYSTEMTIME &c = machine.clock;
    std::snprintf(time, sizeof time, "%04u-%02u-%02u %02u:%02u:%02u.%03u", c.wYear, c.wMonth, c.wDay, c.wHour,
                  c.wMinute, c.wSecond, c.wMilliseconds);
    w.BeginObject();
    w.Member("time", time);
    w.Member("step_ms", machine.clockStepMs);
    w.EndObject();
}

void Write(JsonWriter &w, const Device &device)
{
    w.BeginObject();
    w.Member("instance_id", Narrow(device.instanceId));
    w.Member("class", GuidToString(device.classGuid));
    if (device.hardwareIds) {
        w.Key("hardware_ids");
        WriteTextList(w, *device.hardwareIds);
    }
    if (device.busHardwareIds) {
        w.Key("bus_hardware_ids");
        WriteTextList(w, *device.busHardwareIds);
    }
    if (device.compatibleIds) {
        w.Key("compatible_ids");
        WriteTextList(w, *device.compatibleIds);
    }
    if (device.description)
        w.Member("description", Narrow(*device.description));
    if (device.enumerator)
        w.Member("enumerator", Narrow(*device.enumerator));
    if (device.configFlags) {
        w.Key("config_flags");
        WriteCode(w, *device.configFlags);
    }
    w.Member("status", Hex32(device.status));
    w.Member("problem", device.problem);
    w.Flag("present", device.present);
    // Left out while they hold their default:
    if (device.refuseRemoval)
        w.Flag("refuse_removal", true);
    if (device.installFlagsAfterChange)
        w.Member("install_flags_after_change", Hex32(device.installFlagsAfterChange));
    if (!device.driverInf.empty())
        w.Member("driver_inf", Narrow(device.driverInf));
    if (!device.driverVersion.empty())
        w.Member("driver_version", Narrow(device.driverVersion));
    if (!device.service.empty())
        w.Member("service", Narrow(device.service));
    if (device.restarts)
        w.Member("restarts", device.restarts);
    w.EndObject();
}

void WriteDevices(JsonWriter &w, const std::vector<Device> &devices)
{
    w.BeginArray();
    // An element that was never registered belongs to its set, not the machine.
    for (const auto &device : devices)
        if (!device.removed && device.registered)
            Write(w, device);
    w.EndArray();
}

void WriteFeaturesAndDism(JsonWriter &w, const Machine &machine)
{
    w.Key("features");
    w.BeginObject();
    for (const auto &[name, state] : machine.features) {
        w.Key(name);
        w.String(state);
    }
    w.EndObject();
    w.Key("dism");
    w.BeginObject();
    w.Member("exit_status", machine.dism.exitStatus);
    w.Member("on_disable", machine.dism.onDisable);
    w.EndObject();
}

void Write(JsonWriter &w, int answer)
{
    WriteName(w, kAnswers, &AnswerName::id, answer);
}

void Write(JsonWriter &w, const Fault &fault)
{
    w.BeginObject();
    w.Member("function", fault.function);
    w.Key("error");
    WriteCode(w, fault.error);
    if (fault.onCall)
        w.Member("call", fault.onCall);
    if (fault.everyCall)
        w.Flag("every", true);
    if (!fault.subject.empty())
        w.Member("subject", Narrow(fault.subject));
    w.EndObject();
}

void Write(JsonWriter &w, const MessageBoxRecord &box)
{
    w.BeginObject();
    w.Member("text", Narrow(box.text));
    w.Member("caption", Narrow(box.caption));
    w.Member("type", box.type);
    w.Member("answer", box.answer);
    w.EndObject();
}

void Write(JsonWriter &w, const RebootRecord &reboot)
{
    w.BeginObject();
    w.Member("flags", reboot.flags);
    w.Member("reason", Hex32(reboot.reason));
    w.EndObject();
}

void Write(JsonWriter &w, const DriverStoreEntry &entry)
{
    w.BeginObject();
    w.Member("published_name", Narrow(entry.publishedName));
    w.Member("original_path", Narrow(entry.originalPath));
    // INF files may be UTF-16; such bytes are kept as hex.
    if (ValidUtf8(entry.content)) {
        w.Member("content", entry.content);
    } else {
        w.Member("content_hex",
                 HexBytes(reinterpret_cast<const uint8_t *>(entry.content.data()), entry.content.size()));
    }
    w.EndObject();
}

void Write(JsonWriter &w, const CopiedFile &file)
{
    w.BeginObject();
    w.Member("destination", Narrow(file.destination));
    w.Member("source", Narrow(file.source));
    if (file.deleted)
        w.Flag("deleted", true);
    w.EndObject();
}

void Write(JsonWriter &w, const CaptureUnread &unread)
{
    w.BeginObject();
    w.Member("what", unread.what);
    w.Key("error");
    WriteCode(w, unread.error);
    w.EndObject();
}

// The capture's notes, each member as it was given.
void WriteCapture(JsonWriter &w, const CaptureNotes &notes)
{
    w.Key("capture");
    w.BeginObject();
    const std::pair<const char *, const std::optional<std::string> *> texts[] = {
        {"program", &notes.program}, {"version", &notes.version}, {"time", &notes.time}};
    for (const auto &[name, text] : texts)
        if (*text)
            w.Member(name, **text);
    if (notes.unread) {
        w.Key("unread");
        w.BeginArray();
        for (const CaptureUnread &unread : *notes.unread)
            Write(w, unread);
        w.EndArray();
    }
    w.EndObject();
}

// A list member, left out when the list is empty.
template <typename T>
void WriteList(JsonWriter &w, const char *name, const std::vector<T> &list)
{
    if (list.empty())
        return;
    w.Key(name);
    w.BeginArray();
    for (const T &item : list)
        Write(w, item);
    w.EndArray();
}

}  // namespace

void description::WriteMachine(JsonWriter &w, const Machine &machine)
{
    w.BeginObject();
    w.Key("os");
    WriteOs(w, machine.os);
    w.Key("clock");
    WriteClock(w, machine);
    w.Key("devices");
    WriteDevices(w, machine.devices);
    const std::vector<SavedService> services = SavedServices(machine);
    w.Key("registry");
    WriteRegistry(w, machine.hklm, services);
    w.Key("services");
    WriteServices(w, services);
    WriteFeaturesAndDism(w, machine);
    WriteList(w, "message_box_answers", machine.messageBoxAnswers);
    w.Flag("shutdown_privilege", machine.shutdownPrivilege);
    w.Flag("administrator", machine.administrator);
    w.Flag("interactive", machine.interactive);
    WriteList(w, "faults", machine.faults);
    WriteList(w, "message_boxes", machine.messageBoxes);
    WriteList(w, "reboots", machine.reboots);
    WriteList(w, "driver_store", machine.driverStore);
    WriteList(w, "files", machine.files);
    w.Flag("reboot_pending", machine.rebootPending);
    if (machine.capture)
        WriteCapture(w, *machine.capture);
    w.EndObject();
}

std::string SerializeMachine(const Machine &machine)
{
    std::string text;
    JsonWriter w(text);
    description::WriteMachine(w, machine);
    return text;
}

}  // namespace winsim
