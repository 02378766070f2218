#include "ConsoleCodePage.h"

#ifdef _WIN32
// ---- Windows section ----
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>

namespace {
// The code page to give back; 0 when there is none: no console (output to a pipe or a file) or
// one that already shows UTF-8.
std::atomic<UINT> previousCodePage{0};

void restoreCodePage() {
    const UINT previous = previousCodePage.exchange(0);
    if (previous != 0) {
        ::SetConsoleOutputCP(previous);
    }
}

// Ctrl-C, Ctrl-Break and closing the window end the program without running destructors; the
// console, which outlives it, gets its code page back first. FALSE lets the default handling
// (ending the program) go on.
BOOL WINAPI restoreOnControl(DWORD) {
    restoreCodePage();
    return FALSE;
}
} // namespace

ConsoleCodePage::ConsoleCodePage() {
    const UINT current = ::GetConsoleOutputCP();
    if (current != 0 && current != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
        previousCodePage = current;
        ::SetConsoleCtrlHandler(&restoreOnControl, TRUE);
    }
}

ConsoleCodePage::~ConsoleCodePage() {
    ::SetConsoleCtrlHandler(&restoreOnControl, FALSE);
    restoreCodePage();
}
// ---- end of Windows section ----
#else
// POSIX terminals take the bytes as the locale says; there is nothing to set.
ConsoleCodePage::ConsoleCodePage() = default;
ConsoleCodePage::~ConsoleCodePage() = default;
#endif
