// C runtime pieces that take UTF-16 text: the command interpreter (its model
// of the servicing tool is in machine_dism.cpp), a command's output as a
// stream, and console output with wprintf.
#include <cerrno>
#include <cstdio>
#include <map>
#include <string>

#include "core_internal.h"
#include "winsim/machine.h"

int _wsystem(const WCHAR *command)
{
    winsim::Machine &machine = winsim::Current();
    const winsim::Text line = winsim::TextOf(command);
    winsim::Trace("_wsystem", "command=" + winsim::Narrow(line));
    if (auto fault = winsim::CheckFault("_wsystem", line))
        return static_cast<int>(*fault);
    if (!command)
        return machine.dism.exitStatus == -1 ? 0 : 1;  // whether an interpreter is there
    const winsim::CommandRun run = winsim::RunCommandLine(machine, line);
    if (!run.started) {
        errno = ENOENT;
        return -1;
    }
    winsim::ConsoleWrite(run.output);
    winsim::ConsoleErrorWrite(run.errors);
    return run.status;
}

// ---------------------------------------------------------------------------
// A command's output as a stream: the command runs at once, its output waits
// in a temporary file to be read, and _pclose gives its exit status.
// ---------------------------------------------------------------------------
namespace {

std::map<FILE *, int> &Pipes()
{
    static std::map<FILE *, int> pipes;   // stream -> the command's exit status
    return pipes;
}

// "r" with an optional "t" (the default) or "b"; writing to a command is
// not modelled.
bool ReadMode(const winsim::Text &mode, bool &text)
{
    text = mode != u"rb";
    return mode == u"r" || mode == u"rt" || mode == u"rb";
}

// Text mode reads CR LF as LF.
std::string AsRead(const std::string &bytes, bool text)
{
    if (!text)
        return bytes;
    std::string out;
    for (size_t i = 0; i < bytes.size(); i++)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            out += bytes[i];
    return out;
}

}  // namespace

size_t winsim::OpenPipes()
{
    return Pipes().size();
}

FILE *_wpopen(const WCHAR *command, const WCHAR *mode)
{
    winsim::Machine &machine = winsim::Current();
    const winsim::Text line = winsim::TextOf(command);
    winsim::Trace("_wpopen", "command=" + winsim::Narrow(line) + " mode=" + winsim::TextArg(mode));
    bool text = true;
    if (!command || !mode || !ReadMode(mode, text)) {
        errno = EINVAL;
        return nullptr;
    }
    winsim::CommandRun run;
    if (auto fault = winsim::CheckFault("_wpopen", line)) {
        run.status = static_cast<int>(*fault);   // the command failed so, answering nothing
    } else {
        run = winsim::RunCommandLine(machine, line);
    }
    if (!run.started) {
        // The interpreter could not be started.
        errno = ENOENT;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    winsim::ConsoleErrorWrite(run.errors);
    FILE *stream = std::tmpfile();
    if (stream == nullptr)
        return nullptr;
    const std::string bytes = AsRead(run.output, text);
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size() || std::fseek(stream, 0, SEEK_SET) != 0) {
        std::fclose(stream);
        errno = EIO;
        return nullptr;
    }
    Pipes()[stream] = run.status;
    return stream;
}

int _pclose(FILE *stream)
{
    winsim::Trace("_pclose", "");
    auto found = Pipes().find(stream);
    if (found == Pipes().end()) {
        errno = EINVAL;
        return -1;
    }
    const int status = found->second;
    Pipes().erase(found);
    std::fclose(stream);
    return status;
}

namespace {

void AppendNumber(winsim::Text &out, std::string digits, bool negative, bool zeroPad, bool leftAlign,
                  size_t width)
{
    if (negative)
        digits.insert(digits.begin(), '-');
    if (digits.size() < width) {
        size_t pad = width - digits.size();
        if (leftAlign)
            digits.append(pad, ' ');
        else if (zeroPad)
            digits.insert(negative ? 1 : 0, pad, '0');
        else
            digits.insert(0, pad, ' ');
    }
    out += winsim::Widen(digits);
}

std::string Digits(unsigned long long value, unsigned base, bool upper)
{
    const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), set[value % base]);
        value /= base;
    } while (value);
    return digits;
}

// Formats like the C runtime's wprintf for the conversions the program uses;
// false for a conversion it does not know.
bool Format(const WCHAR *format, va_list args, winsim::Text &out)
{
    for (const WCHAR *p = format; *p; p++) {
        if (*p != u'%') {
            out += *p;
            continue;
        }
        p++;
        bool zeroPad = false, leftAlign = false;
        for (;; p++) {
            if (*p == u'0')
                zeroPad = true;
            else if (*p == u'-')
                leftAlign = true;
            else
                break;
        }
        size_t width = 0;
        while (*p >= u'0' && *p <= u'9')
            width = width * 10 + static_cast<size_t>(*p++ - u'0');
        bool wide = false;
        if (*p == u'l') {
            wide = true;
            p++;
        }
        switch (*p) {
        case u'%':
            out += u'%';
            break;
        case u's': {
            (void)wide;  // %s and %ls both take UTF-16 text here
            const WCHAR *text = va_arg(args, const WCHAR *);
            winsim::Text value = text ? winsim::Text(text) : winsim::Text(u"(null)");
            if (value.size() < width && !leftAlign)
                out.append(width - value.size(), u' ');
            out += value;
            if (value.size() < width && leftAlign)
                out.append(width - value.size(), u' ');
            break;
        }
        case u'd':
        case u'i': {
            // LONG is 32 bits on Windows: %ld takes the same as %d.
            long long value = va_arg(args, int);
            unsigned long long magnitude =
                value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
            AppendNumber(out, Digits(magnitude, 10, false), value < 0, zeroPad, leftAlign, width);
            break;
        }
        case u'u':
        case u'x':
        case u'X': {
            unsigned long long value = va_arg(args, unsigned);
            AppendNumber(out, Digits(value, *p == u'u' ? 10 : 16, *p == u'X'), false, zeroPad, leftAlign, width);
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

}  // namespace

int wprintf(const WCHAR *format, ...)
{
    if (!format) {
        errno = EINVAL;
        return -1;
    }
    va_list args;
    va_start(args, format);
    winsim::Text text;
    bool ok = Format(format, args, text);
    va_end(args);
    if (!ok) {
        errno = EINVAL;
        return -1;
    }
    winsim::Trace("wprintf", "text=" + winsim::Narrow(text));
    winsim::ConsoleWrite(winsim::ToConsoleBytes(text));
    return static_cast<int>(text.size());
}
