#include "InputStream.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace {
// A reader given no stream would fail in ways that say nothing of the cause: the test that
// needed the stream fails here instead, with the reason.
[[noreturn]] void cannotOpen(int error) {
    throw std::runtime_error(std::string("cannot open a stream over the test's input: ") +
                             (error != 0 ? std::strerror(error) : "no reason given"));
}
} // namespace

InputStream::InputStream(std::string bytes) : bytes_(std::move(bytes)) {
    errno = 0;
#ifdef _WIN32
    // Windows has no stream over memory: the bytes go through a temporary file, which the "D"
    // mode deletes when the stream is closed.
    char folder[MAX_PATH + 1];
    char name[MAX_PATH + 1];
    if (::GetTempPathA(sizeof folder, folder) == 0 ||
        ::GetTempFileNameA(folder, "wsc", 0, name) == 0) {
        cannotOpen(0);
    }
    stream_ = std::fopen(name, "w+bD");
    if (stream_ == nullptr) {
        const int error = errno;
        ::DeleteFileA(name);
        cannotOpen(error);
    }
    if (std::fwrite(bytes_.data(), 1, bytes_.size(), stream_) != bytes_.size() ||
        std::fseek(stream_, 0, SEEK_SET) != 0) {
        const int error = errno;
        std::fclose(stream_);
        cannotOpen(error);
    }
#else
    // POSIX reads the copy in place. Some systems refuse an empty block: an empty input is the
    // copy's terminating 0, stepped over.
    stream_ = fmemopen(bytes_.data(), bytes_.empty() ? 1 : bytes_.size(), "r");
    if (stream_ == nullptr) {
        cannotOpen(errno);
    }
    if (bytes_.empty()) {
        std::fgetc(stream_);
    }
#endif
}

InputStream::~InputStream() {
    std::fclose(stream_);
}
