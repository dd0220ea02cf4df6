// Pieces shared by the reader and the writer of the machine's JSON
// description: the names it gives registry types and message box answers;
// the readers of single values, which name the place of a fault
// ("devices[2].class: unknown class \"foo\""); the writers shared by the
// registry and the other members.
#pragma once

#include <initializer_list>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "core_internal.h"
#include "json_writer.h"
#include "winsim/machine.h"

namespace winsim::description {

using json = nlohmann::json;

struct TypeName {
    const char *name;
    uint32_t type;
};
inline constexpr TypeName kTypeNames[] = {
    {"REG_NONE", REG_NONE},     {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY}, {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_QWORD", REG_QWORD},
};

struct AnswerName {
    const char *name;
    int id;
};
inline constexpr AnswerName kAnswers[] = {{"OK", 1},     {"CANCEL", 2}, {"ABORT", 3}, {"RETRY", 4},
                                          {"IGNORE", 5}, {"YES", 6},    {"NO", 7}};

// ---------------------------------------------------------------------------
// Places in the description, as faults name them
// ---------------------------------------------------------------------------
// A place: a member of an object ("os.major"), an element of an array
// ("devices[2]") or a member named by its key ("services[\"disk\"]").  It
// refers to the place it is in and to the name or key it is given, which
// must outlive it; its text is put together only when a fault names it.
class Path {
public:
    // A member of the description itself.
    static Path Top(std::string_view name) { return Path(nullptr, Kind::Member, name, 0); }

    Path Member(std::string_view name) const { return Path(this, Kind::Member, name, 0); }
    Path Index(size_t index) const { return Path(this, Kind::Index, std::string_view(), index); }
    Path Keyed(std::string_view key) const { return Path(this, Kind::Key, key, 0); }
    std::string ToString() const;

private:
    enum class Kind { Member, Index, Key };
    Path(const Path *parent, Kind kind, std::string_view name, size_t index)
        : parent_(parent), kind_(kind), name_(name), index_(index)
    {
    }

    const Path *parent_;
    Kind kind_;
    std::string_view name_;
    size_t index_;
};

[[noreturn]] void Fail(const Path &where, const std::string &fault);

void ExpectObject(const json &j, const Path &where);
void ExpectArray(const json &j, const Path &where);

// ---------------------------------------------------------------------------
// Single values
// ---------------------------------------------------------------------------
// A JSON integer, or a string "0x..." in hex, within [low, high].
int64_t ReadInteger(const json &j, const Path &where, int64_t low, int64_t high);
// Hex digits (spaces allowed between them) as bytes.
std::vector<uint8_t> ReadHex(const json &j, const Path &where);
// A setup class: its GUID in braces or the name of a class the machine knows.
GUID ReadClass(const json &j, const Path &where);
// A registry value: {"type": ..., "data": ...} or {"type": ..., "hex": ...}.
RegValue ReadValue(const json &j, const Path &where);
// A message box answer: a name ("OK") or its number.
int ReadAnswer(const json &j, const Path &where);

void ReadInto(const json &j, const Path &where, uint32_t &out);
void ReadInto(const json &j, const Path &where, bool &out);
void ReadInto(const json &j, const Path &where, std::string &out);
void ReadInto(const json &j, const Path &where, Text &out);
void ReadInto(const json &j, const Path &where, std::vector<Text> &out);

template <typename T>
void ReadInto(const json &j, const Path &where, std::optional<T> &out)
{
    T value{};
    ReadInto(j, where, value);
    out = std::move(value);
}

// The ID lists read so far, so that equal lists are held once.
class TextListPool {
public:
    TextList Intern(std::vector<Text> texts);

private:
    std::unordered_map<size_t, std::vector<TextList>> byHash_;
};

// An array, each element read by 'readOne'.
template <typename T>
void ReadList(const json &j, const Path &where, std::vector<T> &out,
              T (*readOne)(const json &, const Path &))
{
    ExpectArray(j, where);
    for (size_t i = 0; i < j.size(); i++)
        out.push_back(readOne(j[i], where.Index(i)));
}

// An object of the description: a member it does not know is a fault; each
// member is read with its own place for the faults.
class ObjectReader {
public:
    ObjectReader(const json &object, const Path &where, std::initializer_list<const char *> known);
    ObjectReader(const ObjectReader &) = delete;
    ObjectReader &operator=(const ObjectReader &) = delete;

    const json *Find(const char *name) const;
    const json &Need(const char *name) const;   // a fault when the member is absent
    Path At(const char *name) const { return where_.Member(name); }

    // Reads a member that may be absent; true when it was there.
    template <typename T>
    bool Read(const char *name, T &out) const
    {
        const json *value = Find(name);
        if (value)
            ReadInto(*value, At(name), out);
        return value != nullptr;
    }
    template <typename T>
    void ReadNeeded(const char *name, T &out) const
    {
        ReadInto(Need(name), At(name), out);
    }

private:
    const json &object_;
    Path where_;
};

// The machine a description read from a stream gives; faults as
// ParseMachine names them.
Machine ParseMachineStream(std::istream &in);

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------
// The whole description, as SerializeMachine gives it and the machine file
// holds it (without the file's final line break).
void WriteMachine(JsonWriter &w, const Machine &machine);

std::string HexBytes(const uint8_t *bytes, size_t size);
void WriteTextList(JsonWriter &w, const std::vector<Text> &list);

// A value by its name in a table where it has one, else as a number.
template <typename Entry, size_t N, typename Value>
void WriteName(JsonWriter &w, const Entry (&table)[N], Value Entry::*field, Value value)
{
    for (const Entry &entry : table) {
        if (entry.*field == value) {
            w.String(entry.name);
            return;
        }
    }
    w.Number(value);
}

// The UTF-8 names of members named by texts unique in their object, each
// with the index of the text it stands for.  Texts differ in UTF-8 too
// unless a lone surrogate became U+FFFD; should two names meet, the later
// text takes the earlier one's place: an object holds one member a name.
std::vector<std::pair<std::string, size_t>> Utf8Names(const std::vector<const Text *> &names);

// A service the "services" member carries: a key under kServicesKeyPath
// whose Type, Start and ErrorControl are REG_DWORDs of four bytes.  The
// member carries those, DisplayName (REG_SZ) and ImagePath (REG_EXPAND_SZ)
// when their bytes are one terminated string, and DeleteFlag when it is
// REG_DWORD 1, each only under its name spelt so; every other value of the
// key stays in the "registry" member.
struct SavedService {
    const RegKey *key = nullptr;
    uint32_t type = 0, start = 0, errorControl = 0;
    std::optional<Text> displayName, binary;
    bool markedForDelete = false;
    std::vector<const RegValue *> carried;   // the values the member writes
};
std::vector<SavedService> SavedServices(const Machine &machine);
void WriteServices(JsonWriter &w, const std::vector<SavedService> &services);

// The "registry" member: every key with values (a service's less those the
// "services" member carries), a denied key and every leaf that is not a
// service the "services" member gives whole, by its full path.
void WriteRegistry(JsonWriter &w, const RegKey &hklm, const std::vector<SavedService> &services);

}  // namespace winsim::description
