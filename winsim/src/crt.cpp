// C runtime pieces that take UTF-16 text: the command interpreter, modelled
// for the servicing tool's feature lines, and console output with wprintf.
#include <cerrno>
#include <cstdio>
#include <string>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

const winsim::Text kFeatureArgumentsOn = u"/online /norestart /enable-feature:MultipathIo";
const winsim::Text kFeatureArgumentsOff = u"/online /norestart /disable-feature:MultipathIo";

// The servicing tool on the running system, as far as the feature goes.
int RunFeatureTool(winsim::Machine &machine, bool enable)
{
    const int status = machine.dism.exitStatus;
    std::string &state = machine.features["MultipathIo"];
    if (status == 0 && enable) {
        state = "Enabled";
        if (!winsim::FindMpioBusDevice(machine))
            winsim::AddMpioBusDevice(machine);
    } else if (status == ERROR_SUCCESS_REBOOT_REQUIRED && enable) {
        // The device appears at the next reboot.
        state = "EnablePending";
        machine.rebootPending = true;
    } else if (status == 0) {
        state = "Disabled";
        if (winsim::Device *bus = winsim::FindMpioBusDevice(machine)) {
            if (machine.dism.onDisable == "mark")
                bus->status |= DN_WILL_BE_REMOVED;
            else if (machine.dism.onDisable == "remove")
                bus->removed = true;
        }
    } else if (status == ERROR_SUCCESS_REBOOT_REQUIRED) {
        state = "DisablePending";
        machine.rebootPending = true;
        if (winsim::Device *bus = winsim::FindMpioBusDevice(machine))
            bus->status |= DN_WILL_BE_REMOVED;
    }
    return status;
}

// The servicing tool ships from 6.1 (Windows 7, Server 2008 R2) on; on 6.0
// and older systems it is no program at all.
bool IsFeatureTool(const winsim::Text &word, const winsim::OsInfo &os)
{
    const bool shipped = os.major > 6 || (os.major == 6 && os.minor >= 1);
    return shipped && (winsim::EqualNoCase(word, u"DISM.exe") || winsim::EqualNoCase(word, u"DISM"));
}

}  // namespace

int _wsystem(const WCHAR *command)
{
    winsim::Machine &machine = winsim::Current();
    const winsim::Text line = winsim::TextOf(command);
    winsim::Trace("_wsystem", "command=" + winsim::Narrow(line));
    if (auto fault = winsim::CheckFault("_wsystem", line))
        return static_cast<int>(*fault);
    if (machine.dism.exitStatus == -1) {
        // No command interpreter could be started.
        errno = ENOENT;
        return command ? -1 : 0;
    }
    if (!command)
        return 1;  // an interpreter is there

    const size_t space = line.find(u' ');
    const winsim::Text program = line.substr(0, space);
    const winsim::Text arguments = space == winsim::Text::npos ? winsim::Text() : line.substr(space + 1);
    if (IsFeatureTool(program, machine.os)) {
        if (arguments == kFeatureArgumentsOn)
            return RunFeatureTool(machine, true);
        if (arguments == kFeatureArgumentsOff)
            return RunFeatureTool(machine, false);
        // The tool rejects any other request as an unknown option.
        if (machine.echoConsole)
            std::fprintf(stderr, "\r\nError: 87\r\n\r\nThe option is unknown.\r\n");
        return ERROR_INVALID_PARAMETER;
    }
    std::string word = winsim::Narrow(program);
    if (machine.echoConsole)
        std::fprintf(stderr,
                 "'%s' is not recognized as an internal or external command,\r\noperable program or batch file.\r\n",
                 word.c_str());
    return 1;
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
