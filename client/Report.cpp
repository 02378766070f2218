#include "Report.h"

#include <atomic>
#include <cstdio>

namespace {
// A library has no stream of its own: it writes where the program's own stdio output goes, in
// the same buffers, so that its messages take their place among the program's lines.
void reportThroughStdio(ReportStream stream, std::string_view text) {
    std::FILE* to = stdout;
    if (stream == ReportStream::Error) {
        // What the program wrote before the failure is shown before it.
        std::fflush(stdout);
        to = stderr;
    }
    if (!text.empty()) {
        std::fwrite(text.data(), 1, text.size(), to);
    }
    std::fflush(to);
}

std::atomic<ReportFunction> reportFunction{&reportThroughStdio};
} // namespace

ReportFunction setReportFunction(ReportFunction function) {
    return reportFunction.exchange(function != nullptr ? function : &reportThroughStdio);
}

void report(ReportStream stream, std::string_view text) {
    reportFunction.load()(stream, text);
}
