// Message boxes and the shutdown request.  Answers come from the machine's
// script (message_box_answers); without one a box asks on the terminal when
// the machine allows it, and otherwise fails.  ExitWindowsEx only records the
// request: the host is never touched.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "core_internal.h"
#include "winsim/machine.h"

namespace {

struct Button {
    int id;
    const char *label;
};

// The buttons of each MB_ type, in the order Windows shows them.
std::vector<Button> ButtonsOf(UINT type)
{
    switch (type & 0xF) {
    case 0: return {{IDOK, "OK"}};
    case 1: return {{IDOK, "OK"}, {IDCANCEL, "Cancel"}};
    case 2: return {{3, "Abort"}, {4, "Retry"}, {5, "Ignore"}};
    case 3: return {{6, "Yes"}, {7, "No"}, {IDCANCEL, "Cancel"}};
    case 4: return {{6, "Yes"}, {7, "No"}};
    case 5: return {{4, "Retry"}, {IDCANCEL, "Cancel"}};
    case 6: return {{IDCANCEL, "Cancel"}, {10, "Try Again"}, {11, "Continue"}};
    default: return {};
    }
}

bool Offers(const std::vector<Button> &buttons, int id)
{
    for (const auto &button : buttons)
        if (button.id == id)
            return true;
    return false;
}

// Shows the box on the terminal (standard error, so the program's console
// output stays its own) and reads the choice; 0 when none was given.
int AskOnTerminal(const winsim::Text &text, const winsim::Text &caption, const std::vector<Button> &buttons)
{
    std::string body = winsim::Narrow(text);
    std::string shown;
    for (char c : body) {
        shown += c;
        if (c == '\n')
            shown += "| ";
    }
    std::fprintf(stderr, "\n+--- %s ---\n| %s\n+--- ", winsim::Narrow(caption).c_str(), shown.c_str());
    for (size_t i = 0; i < buttons.size(); i++)
        std::fprintf(stderr, "%s[%c]%s", i ? " / " : "", buttons[i].label[0], buttons[i].label + 1);
    std::fprintf(stderr, "? ");
    std::fflush(stderr);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty())
            for (const auto &button : buttons)
                if (std::toupper(static_cast<unsigned char>(line[0])) == button.label[0])
                    return button.id;
        std::fprintf(stderr, "? ");
        std::fflush(stderr);
    }
    return 0;
}

}  // namespace

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    winsim::Machine &machine = winsim::Current();
    const winsim::Text boxText = winsim::TextOf(text);
    const winsim::Text boxCaption = caption ? winsim::TextOf(caption) : winsim::Text(u"Error");
    winsim::Trace("MessageBoxW", "caption=" + winsim::Narrow(boxCaption) + " type=" + winsim::Hex(type) +
                                     " text=" + winsim::Narrow(boxText));
    if (auto fault = winsim::CheckFault("MessageBoxW", boxCaption)) {
        SetLastError(*fault);
        return 0;
    }
    if (owner) {
        // The machine has no windows to own a box.
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    const std::vector<Button> buttons = ButtonsOf(type);
    if (buttons.empty()) {
        SetLastError(ERROR_INVALID_MSGBOX_STYLE);
        return 0;
    }

    int answer = 0;
    DWORD error = ERROR_SUCCESS;
    if (!machine.messageBoxAnswers.empty()) {
        answer = machine.messageBoxAnswers.front();
        machine.messageBoxAnswers.erase(machine.messageBoxAnswers.begin());
        // Escape closes an OK-only box with IDOK.
        if (answer == IDCANCEL && !Offers(buttons, IDCANCEL) && Offers(buttons, IDOK))
            answer = IDOK;
        if (!Offers(buttons, answer)) {
            if (machine.echoConsole)
                std::fprintf(stderr, "winsim: scripted answer %d is not a button of the box \"%s\"\n", answer,
                             winsim::Narrow(boxCaption).c_str());
            answer = 0;
            error = ERROR_INVALID_PARAMETER;
        }
    } else if (machine.interactive && isatty(0)) {
        answer = AskOnTerminal(boxText, boxCaption, buttons);
        if (!answer)
            error = ERROR_CANCELLED;
    } else {
        // Nobody can answer: the box cannot be shown.
        if (machine.echoConsole)
            std::fprintf(stderr, "winsim: message box \"%s\" has no scripted answer and no terminal; it fails\n",
                         winsim::Narrow(boxCaption).c_str());
        error = ERROR_ACCESS_DENIED;
    }
    machine.messageBoxes.push_back(winsim::MessageBoxRecord{boxText, boxCaption, type, answer});
    if (!answer)
        SetLastError(error);
    return answer;
}

BOOL ExitWindowsEx(UINT flags, DWORD reason)
{
    winsim::Trace("ExitWindowsEx", "flags=" + winsim::Hex(flags) + " reason=" + winsim::Hex(reason));
    if (auto fault = winsim::CheckFault("ExitWindowsEx"))
        return winsim::FailBool(*fault);
    winsim::ProcessState &process = winsim::Process();
    const bool shutdown = flags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF);
    if (shutdown && !process.shutdownPrivilegeEnabled)
        return winsim::FailBool(ERROR_PRIVILEGE_NOT_HELD);
    if (process.shutdownRequested)
        return winsim::FailBool(ERROR_SHUTDOWN_IN_PROGRESS);
    if (shutdown)
        process.shutdownRequested = true;
    winsim::Current().reboots.push_back(winsim::RebootRecord{flags, reason});
    return TRUE;
}
