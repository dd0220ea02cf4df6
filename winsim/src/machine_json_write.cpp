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
    w.Key("major");
    w.Number(os.major);
    w.Key("minor");
    w.Number(os.minor);
    w.Key("build");
    w.Number(os.build);
    w.Key("csd");
    w.String(Narrow(os.csd));
    if (!os.arch.empty()) {
        w.Key("arch");
        w.String(os.arch);
    }
    w.EndObject();
}

void WriteClock(JsonWriter &w, const Machine &machine)
{
    char time[64];
    const SYSTEMTIME &c = machine.clock;
    std::snprintf(time, sizeof time, "%04u-%02u-%02u %02u:%02u:%02u.%03u", c.wYear, c.wMonth, c.wDay, c.wHour,
                  c.wMinute, c.wSecond, c.wMilliseconds);
    w.BeginObject();
    w.Key("time");
    w.String(time);
    w.Key("step_ms");
    w.Number(machine.clockStepMs);
    w.EndObject();
}

void WriteIfSet(JsonWriter &w, const char *name, const std::optional<Text> &text)
{
    if (text) {
        w.Key(name);
        w.String(Narrow(*text));
    }
}

// The members that are left out while they hold their default.
void WriteDeviceExtras(JsonWriter &w, const Device &device)
{
    if (device.refuseRemoval) {
        w.Key("refuse_removal");
        w.Bool(true);
    }
    if (device.installFlagsAfterChange) {
        w.Key("install_flags_after_change");
        w.String(Hex32(device.installFlagsAfterChange));
    }
    if (!device.driverInf.empty()) {
        w.Key("driver_inf");
        w.String(Narrow(device.driverInf));
    }
    if (!device.service.empty()) {
        w.Key("service");
        w.String(Narrow(device.service));
    }
    if (device.restarts) {
        w.Key("restarts");
        w.Number(device.restarts);
    }
}

void Write(JsonWriter &w, const Device &device)
{
    w.BeginObject();
    w.Key("instance_id");
    w.String(Narrow(device.instanceId));
    w.Key("class");
    w.String(GuidToString(device.classGuid));
    if (device.hardwareIds) {
        w.Key("hardware_ids");
        WriteTextList(w, *device.hardwareIds);
    }
    WriteIfSet(w, "description", device.description);
    WriteIfSet(w, "enumerator", device.enumerator);
    if (device.configFlags) {
        w.Key("config_flags");
        WriteCode(w, *device.configFlags);
    }
    w.Key("status");
    w.String(Hex32(device.status));
    w.Key("problem");
    w.Number(device.problem);
    w.Key("present");
    w.Bool(device.present);
    WriteDeviceExtras(w, device);
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

void WriteServices(JsonWriter &w, const std::map<Text, Service> &services)
{
    std::vector<const Text *> names;
    std::vector<const Service *> list;
    for (const auto &[folded, service] : services) {
        names.push_back(&service.name);
        list.push_back(&service);
    }
    w.BeginObject();
    for (const auto &[name, index] : Utf8Names(names)) {
        const Service &service = *list[index];
        w.Key(name);
        w.BeginObject();
        w.Key("display_name");
        w.String(Narrow(service.displayName));
        w.Key("binary");
        w.String(Narrow(service.binary));
        w.Key("type");
        w.Number(service.type);
        w.Key("start");
        w.Number(service.start);
        if (service.markedForDelete) {
            w.Key("marked_for_delete");
            w.Bool(true);
        }
        w.EndObject();
    }
    w.EndObject();
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
    w.Key("exit_status");
    w.Number(machine.dism.exitStatus);
    w.Key("on_disable");
    w.String(machine.dism.onDisable);
    w.EndObject();
}

void Write(JsonWriter &w, int answer)
{
    WriteName(w, kAnswers, &AnswerName::id, answer);
}

void Write(JsonWriter &w, const Fault &fault)
{
    w.BeginObject();
    w.Key("function");
    w.String(fault.function);
    w.Key("error");
    WriteCode(w, fault.error);
    if (fault.onCall) {
        w.Key("call");
        w.Number(fault.onCall);
    }
    if (fault.everyCall) {
        w.Key("every");
        w.Bool(true);
    }
    if (!fault.subject.empty()) {
        w.Key("subject");
        w.String(Narrow(fault.subject));
    }
    w.EndObject();
}

void Write(JsonWriter &w, const MessageBoxRecord &box)
{
    w.BeginObject();
    w.Key("text");
    w.String(Narrow(box.text));
    w.Key("caption");
    w.String(Narrow(box.caption));
    w.Key("type");
    w.Number(box.type);
    w.Key("answer");
    w.Number(box.answer);
    w.EndObject();
}

void Write(JsonWriter &w, const RebootRecord &reboot)
{
    w.BeginObject();
    w.Key("flags");
    w.Number(reboot.flags);
    w.Key("reason");
    w.String(Hex32(reboot.reason));
    w.EndObject();
}

void Write(JsonWriter &w, const DriverStoreEntry &entry)
{
    w.BeginObject();
    w.Key("published_name");
    w.String(Narrow(entry.publishedName));
    w.Key("original_path");
    w.String(Narrow(entry.originalPath));
    // INF files may be UTF-16; such bytes are kept as hex.
    if (ValidUtf8(entry.content)) {
        w.Key("content");
        w.String(entry.content);
    } else {
        w.Key("content_hex");
        w.String(HexBytes(reinterpret_cast<const uint8_t *>(entry.content.data()), entry.content.size()));
    }
    w.EndObject();
}

void Write(JsonWriter &w, const CopiedFile &file)
{
    w.BeginObject();
    w.Key("destination");
    w.String(Narrow(file.destination));
    w.Key("source");
    w.String(Narrow(file.source));
    if (file.deleted) {
        w.Key("deleted");
        w.Bool(true);
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

void WriteFlag(JsonWriter &w, const char *name, bool value)
{
    w.Key(name);
    w.Bool(value);
}

}  // namespace

std::string SerializeMachine(const Machine &machine)
{
    std::string text;
    JsonWriter w(text);
    w.BeginObject();
    w.Key("os");
    WriteOs(w, machine.os);
    w.Key("clock");
    WriteClock(w, machine);
    w.Key("devices");
    WriteDevices(w, machine.devices);
    w.Key("registry");
    WriteRegistry(w, machine.hklm);
    w.Key("services");
    WriteServices(w, machine.services);
    WriteFeaturesAndDism(w, machine);
    WriteList(w, "message_box_answers", machine.messageBoxAnswers);
    WriteFlag(w, "shutdown_privilege", machine.shutdownPrivilege);
    WriteFlag(w, "interactive", machine.interactive);
    WriteList(w, "faults", machine.faults);
    WriteList(w, "message_boxes", machine.messageBoxes);
    WriteList(w, "reboots", machine.reboots);
    WriteList(w, "driver_store", machine.driverStore);
    WriteList(w, "files", machine.files);
    WriteFlag(w, "reboot_pending", machine.rebootPending);
    w.EndObject();
    return text;
}

}  // namespace winsim
