#include "AnswerReader.h"

#include <cctype>
#include <cerrno>
#include <climits>

#ifdef _WIN32
namespace {
// The console's input is never left non-blocking there, so there is nothing to wait for.
bool waitUntilReadable(std::FILE*) {
    return false;
}
} // namespace
#else // POSIX
#include "StandardStreams.h"

#include <poll.h>

namespace {
bool waitUntilReadable(std::FILE* in) {
    const int fd = ::fileno(in);
    return fd >= 0 && waitForDescriptor(fd, POLLIN); // a stream without a descriptor cannot wait
}
} // namespace
#endif

int AnswerReader::get() {
    if (!pending_.empty()) {
        const unsigned char c = static_cast<unsigned char>(pending_.back());
        pending_.pop_back();
        return c;
    }
    // A stream that failed once is not read again: what it would give next cannot be trusted.
    while (error_ == 0) {
        const int c = std::getc(in_);
        if (c != EOF || !std::ferror(in_)) {
            return c;
        }
        const int error = errno;
        // A failed read takes nothing from the stream, so reading again loses no character.
        std::clearerr(in_);
        if (error == EINTR) {
            continue;
        }
        if ((error == EAGAIN || error == EWOULDBLOCK) && waitUntilReadable(in_)) {
            continue;
        }
        error_ = error != 0 ? error : EIO;
    }
    return EOF;
}

void AnswerReader::putBack(int c) {
    if (c != EOF) {
        pending_.push_back(static_cast<char>(c));
    }
}

AnswerReader::Status AnswerReader::endStatus() {
    ended_ = true;
    return error_ != 0 ? Status::ReadError : Status::EndOfInput;
}

int AnswerReader::skipSpace() {
    int c = get();
    while (c != EOF && std::isspace(c)) {
        c = get();
    }
    return c;
}

AnswerReader::Status AnswerReader::readInt(int& value) {
    const int first = skipSpace();
    if (first == EOF) {
        return endStatus();
    }
    int c = first;
    const bool hasSign = c == '-' || c == '+';
    if (hasSign) {
        c = get();
    }
    if (c == EOF || !std::isdigit(c)) {
        if (c == EOF) {
            return endStatus();
        }
        putBack(c);
        if (hasSign) {
            putBack(first);
        }
        return Status::NotAnumber;
    }
    // The magnitude saturates just past the range of int, so that any number of digits is
    // taken without overflow.
    const bool negative = first == '-';
    long long magnitude = 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    while (c != EOF && std::isdigit(c)) {
        if (magnitude <= limit) {
            magnitude = magnitude * 10 + (c - '0');
        }
        c = get();
    }
    // The end of the stream closes a number; a read error may have cut it short.
    if (error_ != 0) {
        return endStatus();
    }
    putBack(c);
    if (magnitude > limit) {
        magnitude = limit;
    }
    value = static_cast<int>(negative ? -magnitude : magnitude);
    return Status::Answered;
}

AnswerReader::Status AnswerReader::readWord(std::string& word, std::size_t maxLength) {
    word.clear();
    int c = skipSpace();
    if (c == EOF) {
        return endStatus();
    }
    while (c != EOF && !std::isspace(c) && word.size() < maxLength) {
        word.push_back(static_cast<char>(c));
        c = get();
    }
    if (error_ != 0) {
        return endStatus();
    }
    putBack(c);
    return Status::Answered;
}

AnswerReader& consoleAnswers() {
    static AnswerReader reader(stdin);
    return reader;
}
