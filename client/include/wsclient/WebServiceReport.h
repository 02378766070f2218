#pragma once

#include <string_view>

// Where the client's own messages go. callWebService reports a failed transfer (the line
// "curl_easy_perform() failed: ...\n") on the error stream, and a request with nothing to send
// or a handle that libcurl could not make on the output stream; postUrlEncoded reports nothing.
// NOLINTNEXTLINE(performance-enum-size): its size is part of the library's ABI since 1.0.0.
enum class ReportStream { Output, Error };

// Receives one message: the stream it is meant for and its bytes, to be written as data (never
// as a format). Called on the thread that made the call, while the call runs.
using ReportFunction = void (*)(ReportStream stream, std::string_view text);

// Sends every later message of the client to `report`; nullptr restores the default, which
// writes through C stdio to stdout or stderr and flushes, after flushing stdout before a message
// for stderr: the messages then stay in order with the program's own stdio output (std::cout
// too, while it is synchronised with stdio), and a failed write shows in ferror() of the stream.
// Returns the function that was in place. Not to be called while a call of the client runs.
ReportFunction setReportFunction(ReportFunction report);
