#pragma once

#include <string_view>

// Writes bytes to standard output or standard error as data (never as a format) and flushes
// at once, so that the console shows every write in the order it was made.
void writeOut(std::string_view text);
void writeErr(std::string_view text);
