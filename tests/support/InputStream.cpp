#include "InputStream.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

InputStream::InputStream(std::string bytes) : bytes_(std::move(bytes)) {
#ifdef _WIN32
    // Windows has no stream over memory: the bytes go through a temporary file, which the "D"
    // mode deletes when the stream is closed.
    char folder[MAX_PATH + 1];
    char name[MAX_PATH + 1];
    if (::GetTempPathA(sizeof folder, folder) == 0 ||
        ::GetTempFileNameA(folder, "wsc", 0, name) == 0) {
        return;
    }
    stream_ = std::fopen(name, "w+bD");
    if (stream_ == nullptr) {
        ::DeleteFileA(name);
        return;
    }
    if (std::fwrite(bytes_.data(), 1, bytes_.size(), stream_) != bytes_.size() ||
        std::fseek(stream_, 0, SEEK_SET) != 0) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
#else
    // POSIX reads the copy in place. Some systems refuse an empty block: an empty input is the
    // copy's terminating 0, stepped over.
    stream_ = fmemopen(bytes_.data(), bytes_.empty() ? 1 : bytes_.size(), "r");
    if (stream_ != nullptr && bytes_.empty()) {
        std::fgetc(stream_);
    }
#endif
}

InputStream::~InputStream() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
    }
}
