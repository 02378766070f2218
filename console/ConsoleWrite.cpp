#include "ConsoleWrite.h"

#include <cstdio>

namespace {
void writeTo(std::FILE* stream, std::string_view text) {
    if (!text.empty()) {
        std::fwrite(text.data(), 1, text.size(), stream);
    }
    std::fflush(stream);
}
} // namespace

void writeOut(std::string_view text) {
    writeTo(stdout, text);
}

void writeErr(std::string_view text) {
    writeTo(stderr, text);
}
