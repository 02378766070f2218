// The console's output code page while the owner lives and after, on Windows.
#include "ConsoleCodePage.h"

#include <gtest/gtest.h>

#include <cstdlib>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

TEST(ConsoleCodePage, ShowsUtf8WhileItLivesAndThenGivesThePreviousPageBack) {
    // With its output in pipes the program has no console, hence no code page to test. The run
    // on a terminal (a console under Wine) says so, so that the test cannot skip itself there.
    if (::GetConsoleOutputCP() == 0) {
        if (std::getenv("WSCONSOLE_CONSOLE_REQUIRED") != nullptr) {
            FAIL() << "no console";
        }
        GTEST_SKIP() << "no console";
    }
    const UINT atStart = ::GetConsoleOutputCP();
    for (const UINT previous : {850u, 1252u, static_cast<UINT>(CP_UTF8)}) {
        ASSERT_TRUE(::SetConsoleOutputCP(previous));
        {
            const ConsoleCodePage utf8Output;
            EXPECT_EQ(::GetConsoleOutputCP(), static_cast<UINT>(CP_UTF8));
        }
        EXPECT_EQ(::GetConsoleOutputCP(), previous);
    }
    ::SetConsoleOutputCP(atStart);
}
