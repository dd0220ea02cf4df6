// INF files: reading them from the host (or the driver store), the open-INF
// handles and the line and field queries on them, and the setup class an INF
// names.
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "setupapi_internal.h"

namespace winsim::setup {

namespace {

HandleTable<OpenInf> &Infs()
{
    static HandleTable<OpenInf> infs;
    return infs;
}

Text DirectoryOf(const Text &path)
{
    size_t cut = path.find_last_of(u"\\/");
    return cut == Text::npos ? Text() : path.substr(0, cut);
}

}  // namespace

std::optional<std::string> HostFile(const Text &path)
{
    auto host = FindHostPath(path);
    struct stat info;
    if (!host || stat(host->c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return host;
}

uint32_t LoadInf(const Text &path, LoadedInf &out, uint32_t *errorLine)
{
    out = LoadedInf{};
    out.path = path;
    bool found = false;
    const bool bareName = path.find_first_of(u"\\/") == Text::npos;
    if (bareName || InInfDirectory(path)) {
        // A bare name is looked for among the published INFs first; a path
        // in the INF folder names one of them.
        const Text name = bareName ? path : path.substr(path.find_last_of(u"\\/") + 1);
        for (const DriverStoreEntry &entry : Current().driverStore) {
            if (EqualNoCase(entry.publishedName, name)) {
                out.bytes = entry.content;
                out.sourceDir = DirectoryOf(entry.originalPath);
                found = true;
                break;
            }
        }
        if (!found && !bareName)
            return ERROR_FILE_NOT_FOUND;
    }
    if (!found) {
        auto host = HostFile(path);
        if (!host)
            return ERROR_FILE_NOT_FOUND;
        std::ifstream file(*host, std::ios::binary);
        if (!file)
            return ERROR_FILE_NOT_FOUND;
        std::ostringstream content;
        content << file.rdbuf();
        out.bytes = content.str();
        out.sourceDir = DirectoryOf(path);
    }
    inf::ParseResult parsed = inf::Parse(out.bytes, out.sourceDir);
    if (!parsed.file) {
        if (errorLine)
            *errorLine = parsed.errorLine;
        return parsed.error;
    }
    if (!parsed.file->HasWin4Signature())
        return ERROR_WRONG_INF_STYLE;
    out.file = parsed.file;
    return 0;
}

OpenInf *LookupInf(HINF handle)
{
    return Infs().Find(handle);
}

uint32_t CopyTextOut(const Text &text, PWSTR buffer, DWORD bufferSize, PDWORD requiredSize)
{
    DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (requiredSize)
        *requiredSize = needed;
    if (buffer) {
        if (bufferSize < needed)
            return ERROR_INSUFFICIENT_BUFFER;
        std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
        buffer[text.size()] = 0;
    }
    return 0;
}

uint32_t InfClass(const inf::InfFile &file, GUID &guid, Text &name)
{
    auto guidText = file.VersionValue(u"ClassGuid");
    auto nameText = file.VersionValue(u"Class");
    if (!guidText && !nameText)
        return ERROR_NO_ASSOCIATED_CLASS;
    guid = GUID{};
    name.clear();
    if (guidText) {
        auto parsed = GuidFromString(Narrow(*guidText));
        if (!parsed)
            return ERROR_INVALID_CLASS;
        guid = *parsed;
    }
    if (nameText)
        name = *nameText;
    for (const KnownClass &known : kKnownClasses) {
        if (!guidText && nameText && EqualNoCase(known.name, *nameText))
            guid = known.guid;
        if (guidText && !nameText && known.guid == guid)
            name = known.name;
    }
    return 0;
}

}  // namespace winsim::setup

size_t winsim::OpenInfFiles()
{
    return setup::Infs().Count();
}

using namespace winsim;
using namespace winsim::setup;

namespace {

struct ContextLine {
    OpenInf *inf = nullptr;
    const inf::Section *section = nullptr;
    const inf::Line *line = nullptr;
};

bool Resolve(const INFCONTEXT *context, ContextLine &out)
{
    if (context == nullptr)
        return false;
    out.inf = LookupInf(context->CurrentInf);
    if (out.inf == nullptr)
        return false;
    const auto &sections = out.inf->inf.file->Sections();
    if (context->Section >= sections.size())
        return false;
    out.section = &sections[context->Section];
    if (context->Line >= out.section->lines.size())
        return false;
    out.line = &out.section->lines[context->Line];
    return true;
}

// The section name a context is in, for traces and fault subjects.
Text SectionOf(const INFCONTEXT *context)
{
    ContextLine line;
    return Resolve(context, line) ? line.section->name : Text();
}

// A string query's result: the text handed to the caller's buffer.
BOOL ReturnText(const Text &text, PWSTR buffer, DWORD bufferSize, PDWORD requiredSize)
{
    if (uint32_t error = CopyTextOut(text, buffer, bufferSize, requiredSize))
        return FailBool(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

HINF SetupOpenInfFileW(PCWSTR fileName, PCWSTR infClass, DWORD infStyle, PUINT errorLine)
{
    Text path = TextOf(fileName);
    Trace("SetupOpenInfFileW", "file=" + TextArg(fileName) + " class=" + TextArg(infClass) +
                                   " style=" + Hex(infStyle));
    if (errorLine)
        *errorLine = 0;
    if (auto fault = CheckFault("SetupOpenInfFileW", path))
        return FailHandle(*fault);
    if (fileName == nullptr || (infStyle & ~static_cast<DWORD>(INF_STYLE_OLDNT | INF_STYLE_WIN4)))
        return FailHandle(ERROR_INVALID_PARAMETER);
    auto open = std::make_unique<OpenInf>();
    uint32_t line = 0;
    if (uint32_t error = LoadInf(path, open->inf, &line)) {
        if (errorLine)
            *errorLine = line;
        return FailHandle(error);
    }
    // Only the Windows INF style is modelled: asking for legacy INFs alone
    // opens nothing.
    if (!(infStyle & INF_STYLE_WIN4))
        return FailHandle(ERROR_WRONG_INF_STYLE);
    if (infClass && *infClass) {
        GUID guid;
        Text name;
        if (InfClass(*open->inf.file, guid, name) != 0 || !EqualNoCase(name, infClass))
            return FailHandle(ERROR_CLASS_MISMATCH);
    }
    SetLastError(ERROR_SUCCESS);
    return Infs().Add(std::move(open));
}

void SetupCloseInfFile(HINF handle)
{
    OpenInf *open = LookupInf(handle);
    Text path = open ? open->inf.path : Text();
    Trace("SetupCloseInfFile", "file=" + Narrow(path));
    CheckFault("SetupCloseInfFile", path);   // counted; closing cannot fail
    Infs().Remove(handle);
}

BOOL SetupGetLineTextW(PINFCONTEXT context, HINF handle, PCWSTR section, PCWSTR key, PWSTR returnBuffer,
                       DWORD returnBufferSize, PDWORD requiredSize)
{
    Text subject = context ? SectionOf(context) : TextOf(section);
    Trace("SetupGetLineTextW", "section=" + Narrow(subject) + " key=" + TextArg(context ? nullptr : key) +
                                   " size=" + std::to_string(returnBufferSize));
    if (auto fault = CheckFault("SetupGetLineTextW", subject))
        return FailBool(*fault);
    const inf::Line *line = nullptr;
    if (context) {
        ContextLine resolved;
        if (!Resolve(context, resolved))
            return FailBool(ERROR_INVALID_PARAMETER);
        line = resolved.line;
    } else {
        if (handle == nullptr || section == nullptr || key == nullptr)
            return FailBool(ERROR_INVALID_PARAMETER);
        OpenInf *open = LookupInf(handle);
        if (open == nullptr)
            return FailBool(ERROR_INVALID_HANDLE);
        if (open->inf.file->FindSection(section) == nullptr)
            return FailBool(ERROR_SECTION_NOT_FOUND);
        line = open->inf.file->FindLine(section, key);
        if (line == nullptr)
            return FailBool(ERROR_LINE_NOT_FOUND);
    }
    return ReturnText(line->CompactText(), returnBuffer, returnBufferSize, requiredSize);
}

LONG SetupGetLineCountW(HINF handle, PCWSTR section)
{
    Trace("SetupGetLineCountW", "section=" + TextArg(section));
    if (auto fault = CheckFault("SetupGetLineCountW", TextOf(section))) {
        SetLastError(*fault);
        return -1;
    }
    OpenInf *open = LookupInf(handle);
    if (open == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    const inf::Section *found = section ? open->inf.file->FindSection(section) : nullptr;
    if (found == nullptr) {
        SetLastError(section ? ERROR_SECTION_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return -1;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<LONG>(found->lines.size());
}

BOOL SetupGetLineByIndexW(HINF handle, PCWSTR section, DWORD index, PINFCONTEXT context)
{
    Trace("SetupGetLineByIndexW", "section=" + TextArg(section) + " index=" + std::to_string(index));
    if (auto fault = CheckFault("SetupGetLineByIndexW", TextOf(section)))
        return FailBool(*fault);
    OpenInf *open = LookupInf(handle);
    if (open == nullptr)
        return FailBool(ERROR_INVALID_HANDLE);
    if (section == nullptr || context == nullptr)
        return FailBool(ERROR_INVALID_PARAMETER);
    int sectionIndex = open->inf.file->SectionIndex(section);
    if (sectionIndex < 0)
        return FailBool(ERROR_SECTION_NOT_FOUND);
    if (index >= open->inf.file->Sections()[static_cast<size_t>(sectionIndex)].lines.size())
        return FailBool(ERROR_LINE_NOT_FOUND);
    context->Inf = handle;
    context->CurrentInf = handle;
    context->Section = static_cast<UINT>(sectionIndex);
    context->Line = index;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD SetupGetFieldCount(PINFCONTEXT context)
{
    Text subject = SectionOf(context);
    Trace("SetupGetFieldCount", "section=" + Narrow(subject) + " line=" +
                                    std::to_string(context ? context->Line : 0));
    if (auto fault = CheckFault("SetupGetFieldCount", subject)) {
        SetLastError(*fault);
        return 0;
    }
    ContextLine resolved;
    if (!Resolve(context, resolved)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(resolved.line->fields.size());
}

BOOL SetupGetIntField(PINFCONTEXT context, DWORD fieldIndex, PINT integerValue)
{
    Text subject = SectionOf(context);
    Trace("SetupGetIntField", "section=" + Narrow(subject) + " line=" +
                                  std::to_string(context ? context->Line : 0) +
                                  " field=" + std::to_string(fieldIndex));
    if (auto fault = CheckFault("SetupGetIntField", subject))
        return FailBool(*fault);
    ContextLine resolved;
    if (!Resolve(context, resolved) || integerValue == nullptr)
        return FailBool(ERROR_INVALID_PARAMETER);
    auto field = resolved.line->Field(fieldIndex);
    if (!field)
        return FailBool(ERROR_INVALID_PARAMETER);
    auto value = inf::ParseInt(*field);
    if (!value)
        return FailBool(ERROR_INVALID_DATA);
    *integerValue = *value;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupGetStringFieldW(PINFCONTEXT context, DWORD fieldIndex, PWSTR returnBuffer, DWORD returnBufferSize,
                          PDWORD requiredSize)
{
    Text subject = SectionOf(context);
    Trace("SetupGetStringFieldW", "section=" + Narrow(subject) + " line=" +
                                      std::to_string(context ? context->Line : 0) +
                                      " field=" + std::to_string(fieldIndex) +
                                      " size=" + std::to_string(returnBufferSize));
    if (auto fault = CheckFault("SetupGetStringFieldW", subject))
        return FailBool(*fault);
    ContextLine resolved;
    if (!Resolve(context, resolved))
        return FailBool(ERROR_INVALID_PARAMETER);
    auto field = resolved.line->Field(fieldIndex);
    if (!field)
        return FailBool(ERROR_INVALID_PARAMETER);
    return ReturnText(*field, returnBuffer, returnBufferSize, requiredSize);
}

BOOL SetupDiGetINFClassW(PCWSTR infName, LPGUID classGuid, PWSTR className, DWORD classNameSize,
                         PDWORD requiredSize)
{
    Text path = TextOf(infName);
    Trace("SetupDiGetINFClassW", "inf=" + TextArg(infName) + " size=" + std::to_string(classNameSize));
    if (auto fault = CheckFault("SetupDiGetINFClassW", path))
        return FailBool(*fault);
    if (infName == nullptr || classGuid == nullptr || (className == nullptr && classNameSize != 0))
        return FailBool(ERROR_INVALID_PARAMETER);
    LoadedInf loaded;
    if (uint32_t error = LoadInf(path, loaded))
        return FailBool(error);
    GUID guid;
    Text name;
    if (uint32_t error = InfClass(*loaded.file, guid, name))
        return FailBool(error);
    *classGuid = guid;
    return ReturnText(name, className, classNameSize, requiredSize);
}
