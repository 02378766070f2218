#pragma once

#include <wsclient/WebServiceReport.h>

#include <string_view>

// Hands one of the client's messages to the report function in place (setReportFunction).
void report(ReportStream stream, std::string_view text);
