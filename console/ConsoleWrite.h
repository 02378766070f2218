#pragma once

#include <string_view>

// Writes bytes to standard output or standard error as data (never as a format) and hands them
// to the system at once, so that the console shows every write in the order it was made. A
// stream that cannot take more yet (left non-blocking by a parent) is waited for.
//
// A write that fails is not retried: the first failure of standard output is reported on
// standard error, the stream that failed takes no more writes, and consoleWritesOk() turns
// false for good. The program then asks nothing more and ends with consoleExitStatus(). A
// failure of standard error itself cannot be reported anywhere; it only ends the program.
// writeOut returns consoleWritesOk(), so that a caller can stop at once after a failed write.
bool writeOut(std::string_view text);
void writeErr(std::string_view text);

// True while every write to standard output and standard error has succeeded.
bool consoleWritesOk();

// The program's exit status: 0 when every write succeeded and standard input was read without
// error to its end or to the last answer; 1 otherwise. A read error of standard input is
// reported here on standard error, so it is called once, as the program ends.
int consoleExitStatus();
