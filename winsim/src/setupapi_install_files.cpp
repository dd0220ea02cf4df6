// The install engine's files: the CopyFiles and DelFiles directives of an
// install section, their queue notifications and the default queue callback.
#include "setupapi_internal.h"

namespace winsim::setup {

namespace {

const Text kDefaultDestDir = u"11";   // used when [DestinationDirs] names none

Text JoinPath(const Text &a, const Text &b)
{
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    // Host paths keep their '/'; everything else is joined with '\\'.
    const char16_t separator = a.find(u'\\') == Text::npos && a.find(u'/') != Text::npos ? u'/' : u'\\';
    Text joined = a;
    if (joined.back() != u'\\' && joined.back() != u'/')
        joined.push_back(separator);
    size_t skip = 0;
    while (skip < b.size() && (b[skip] == u'\\' || b[skip] == u'/'))
        skip++;
    return joined + b.substr(skip);
}

struct FileOp {
    bool remove = false;
    Text destination;    // "<dirid>[\subdir]\name"
    Text source;         // the source file in the caller's path form (copies only)
};

// The destination directory of a file-list section, as [DestinationDirs] gives it.
Text DestinationDir(const inf::InfFile &file, const Text &listSection)
{
    const inf::Line *line = file.FindLine(u"DestinationDirs", listSection);
    if (line == nullptr)
        line = file.FindLine(u"DestinationDirs", u"DefaultDestDir");
    if (line == nullptr || line->fields.empty())
        return kDefaultDestDir;
    Text dir = line->fields[0];
    if (line->fields.size() > 1 && !line->fields[1].empty())
        dir = JoinPath(dir, line->fields[1]);
    return dir;
}

// Where a source file lies: the INF's directory (or the caller's source
// root), then the place the INF's source-disk sections give for this
// machine's architecture.
Text SourceFile(const LoadedInf &inf, const Text *sourceRoot, const Text &name)
{
    const inf::SourceLocation location = inf::SourceOf(*inf.file, name, Current().os);
    Text dir = sourceRoot ? *sourceRoot : inf.sourceDir;
    return JoinPath(JoinPath(JoinPath(dir, location.diskPath), location.subdirectory), name);
}

uint32_t CollectFileOps(const LoadedInf &inf, const inf::Section &section, const Text *sourceRoot,
                        std::vector<FileOp> &ops)
{
    const inf::InfFile &file = *inf.file;
    for (const Text &value : DirectiveValues(section, u"DelFiles")) {
        const inf::Section *list = file.FindSection(value);
        if (list == nullptr)
            return ERROR_SECTION_NOT_FOUND;
        const Text dir = DestinationDir(file, value);
        for (const inf::Line &line : list->lines)
            if (Text target = FieldOr(line, 1); !target.empty())
                ops.push_back({true, JoinPath(dir, target), Text()});
    }
    for (const Text &value : DirectiveValues(section, u"CopyFiles")) {
        auto copies = inf::CopyList(file, value);
        if (!copies)
            return ERROR_SECTION_NOT_FOUND;
        // A single file ("@name") goes to the default destination.
        const Text dir = DestinationDir(file, value[0] == u'@' ? Text(u"DefaultDestDir") : value);
        for (const inf::FileCopy &copy : *copies)
            ops.push_back({false, JoinPath(dir, copy.target), SourceFile(inf, sourceRoot, copy.sourceName)});
    }
    return 0;
}

void RecordFile(const FileOp &op)
{
    auto &files = Current().files;
    for (CopiedFile &file : files) {
        if (EqualNoCase(file.destination, op.destination)) {
            file.deleted = op.remove;
            if (!op.remove)
                file.source = op.source;
            return;
        }
    }
    files.push_back(CopiedFile{op.destination, op.source, op.remove});
}

struct QueueContext {
    HWND owner = nullptr;
};

HandleTable<QueueContext> &LiveContexts()
{
    static HandleTable<QueueContext> contexts;
    return contexts;
}

}  // namespace

uint32_t InstallFiles(const LoadedInf &inf, const inf::Section &section, const FileQueueHandler &handler,
                      const Text *sourceRoot)
{
    std::vector<FileOp> ops;
    if (uint32_t error = CollectFileOps(inf, section, sourceRoot, ops))
        return error;
    if (ops.empty())
        return 0;
    auto notify = [&](UINT notification, UINT_PTR param1, UINT_PTR param2) -> UINT {
        return handler.callback ? handler.callback(handler.context, notification, param1, param2) : FILEOP_DOIT;
    };
    if (notify(SPFILENOTIFY_STARTQUEUE, 0, 0) == 0)
        return ERROR_CANCELLED;
    uint32_t result = 0;
    for (const FileOp &op : ops) {
        QueueFilePaths paths{op.destination.c_str(), op.remove ? nullptr : op.source.c_str(), 0, 0};
        UINT answer = notify(op.remove ? SPFILENOTIFY_STARTDELETE : SPFILENOTIFY_STARTCOPY,
                             reinterpret_cast<UINT_PTR>(&paths), op.remove ? FILEOP_DELETE : FILEOP_COPY);
        if (answer == FILEOP_ABORT) {
            result = ERROR_CANCELLED;
            break;
        }
        if (answer == FILEOP_SKIP)
            continue;
        if (!op.remove && !HostFile(op.source))
            paths.Win32Error = ERROR_FILE_NOT_FOUND;
        else
            RecordFile(op);
        notify(op.remove ? SPFILENOTIFY_ENDDELETE : SPFILENOTIFY_ENDCOPY, reinterpret_cast<UINT_PTR>(&paths), 0);
        if (paths.Win32Error) {
            result = paths.Win32Error;
            break;
        }
    }
    notify(SPFILENOTIFY_ENDQUEUE, result == 0, 0);
    return result;
}

}  // namespace winsim::setup

using namespace winsim;
using namespace winsim::setup;

PVOID SetupInitDefaultQueueCallbackEx(HWND owner, HWND alternateProgressWindow, UINT progressMessage, DWORD,
                                      PVOID)
{
    Trace("SetupInitDefaultQueueCallbackEx", "owner=" + Hex(reinterpret_cast<uintptr_t>(owner)) +
                                                 " progress=" +
                                                 Hex(reinterpret_cast<uintptr_t>(alternateProgressWindow)) +
                                                 " message=" + std::to_string(progressMessage));
    if (auto fault = CheckFault("SetupInitDefaultQueueCallbackEx")) {
        SetLastError(*fault);
        return nullptr;
    }
    return LiveContexts().Add(std::make_unique<QueueContext>(QueueContext{owner}));
}

UINT SetupDefaultQueueCallbackW(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2)
{
    Text target;
    if ((notification == SPFILENOTIFY_STARTCOPY || notification == SPFILENOTIFY_STARTDELETE ||
         notification == SPFILENOTIFY_ENDCOPY || notification == SPFILENOTIFY_ENDDELETE) &&
        param1 != 0) {
        auto paths = reinterpret_cast<const QueueFilePaths *>(param1);
        if (paths->Target)
            target = paths->Target;
    }
    Trace("SetupDefaultQueueCallbackW", "notification=" + Hex(notification) + " target=" + Narrow(target));
    (void)param2;
    if (auto fault = CheckFault("SetupDefaultQueueCallbackW", target)) {
        SetLastError(*fault);
        return FILEOP_ABORT;
    }
    if (!LiveContexts().Find(context)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FILEOP_ABORT;
    }
    switch (notification) {
    case SPFILENOTIFY_STARTQUEUE:
        return TRUE;
    case SPFILENOTIFY_STARTCOPY:
    case SPFILENOTIFY_STARTDELETE:
        return FILEOP_DOIT;
    default:
        return NO_ERROR;
    }
}

void SetupTermDefaultQueueCallback(PVOID context)
{
    Trace("SetupTermDefaultQueueCallback", "");
    CheckFault("SetupTermDefaultQueueCallback");   // counted; releasing cannot fail
    LiveContexts().Remove(context);
}

