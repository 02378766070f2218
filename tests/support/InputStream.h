#pragma once

#include <cstdio>
#include <string>

// A read-only stream over a copy of some bytes, as a test's standard input: it gives them back
// in order and then ends. Closed with the object. When no stream can be opened, the
// constructor throws std::runtime_error with the reason, which fails the test that made it.
class InputStream {
  public:
    explicit InputStream(std::string bytes);
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    // Never nullptr.
    std::FILE* get() const {
        return stream_;
    }

  private:
    std::string bytes_;
    std::FILE* stream_ = nullptr;
};
