// The stand-in's INF reader on arbitrary bytes: the parse, then every
// section, line and field read back through the parser's own lookups and
// through the setup functions the program calls, with buffers sized as the
// program sizes them (size query, exact, one unit short).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "winsim/inf.h"
#include "winsim/machine.h"

namespace {

const char16_t kInfName[] = u"oem0.inf";

void WalkParsed(const winsim::inf::InfFile &file)
{
    for (const auto &section : file.Sections()) {
        file.FindSection(section.name);
        file.SectionIndex(section.name);
        for (const auto &line : section.lines) {
            if (line.key) {
                line.MatchesKey(*line.key);
                file.FindLine(section.name, *line.key);
            }
            line.CompactText();
            for (uint32_t index = 0; index <= line.fields.size() + 1; index++) {
                if (auto field = line.Field(index))
                    winsim::inf::ParseInt(*field);
            }
        }
    }
    file.VersionValue(u"Class");
    file.VersionValue(u"ClassGuid");
    file.HasWin4Signature();
}

// Reads a string field the way the program does: size first, then a buffer
// of that size; a buffer one unit short must be refused.
void ReadStringField(INFCONTEXT &context, DWORD index)
{
    DWORD required = 0;
    if (!SetupGetStringFieldW(&context, index, nullptr, 0, &required) || required == 0)
        return;
    std::vector<WCHAR> buffer(required);
    if (!SetupGetStringFieldW(&context, index, buffer.data(), required, nullptr) || buffer[required - 1] != 0)
        __builtin_trap();
    if (SetupGetStringFieldW(&context, index, buffer.data(), required - 1, nullptr))
        __builtin_trap();
}

void WalkThroughSetupFunctions(const winsim::inf::InfFile &file)
{
    HINF inf = SetupOpenInfFileW(kInfName, nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE)
        return;
    for (const auto &section : file.Sections()) {
        // A name holding a NUL unit is a different section to the parser but
        // reaches the setup functions cut at the NUL, as another section's name.
        if (section.name.find(u'\0') != winsim::Text::npos)
            continue;
        const WCHAR *name = section.name.c_str();
        LONG count = SetupGetLineCountW(inf, name);
        for (LONG index = 0; index < count; index++) {
            INFCONTEXT context = {};
            if (!SetupGetLineByIndexW(inf, name, static_cast<DWORD>(index), &context))
                continue;
            DWORD fields = SetupGetFieldCount(&context);
            for (DWORD field = 0; field <= fields + 1; field++) {
                INT value = 0;
                SetupGetIntField(&context, field, &value);
                ReadStringField(context, field);
            }
            const auto &line = section.lines[static_cast<size_t>(index)];
            if (line.key) {
                DWORD required = 0;
                if (SetupGetLineTextW(nullptr, inf, name, line.key->c_str(), nullptr, 0, &required)) {
                    std::vector<WCHAR> text(required);
                    SetupGetLineTextW(nullptr, inf, name, line.key->c_str(), text.data(), required, &required);
                }
            }
        }
    }
    SetupCloseInfFile(inf);

    GUID guid;
    WCHAR className[MAX_CLASS_NAME_LEN];
    SetupDiGetINFClassW(kInfName, &guid, className, MAX_CLASS_NAME_LEN, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string bytes(reinterpret_cast<const char *>(data), size);
    winsim::inf::ParseResult parsed = winsim::inf::Parse(bytes, u"C:\\package");
    if (!parsed.file)
        return 0;
    WalkParsed(*parsed.file);

    // The same bytes as a published INF, opened by its bare name.
    winsim::Machine machine;
    machine.echoConsole = false;
    machine.driverStore.push_back({kInfName, u"C:\\package\\pkg.inf", bytes});
    winsim::SetCurrent(std::move(machine));
    WalkThroughSetupFunctions(*parsed.file);
    return 0;
}
