#include "ConsoleWrite.h"

#include "AnswerReader.h"
#include "StandardStreams.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#ifndef _WIN32 // POSIX
#include <poll.h>
#include <unistd.h>
#endif

namespace {
// What has gone wrong with each standard stream; a stream that failed once is not written again.
bool outFailed = false;
bool errFailed = false;

// Each returns 0 when the whole text reached the system, otherwise the error that stopped it.
#ifdef _WIN32
int writeTo(std::FILE* stream, std::string_view text) {
    errno = 0;
    if ((!text.empty() && std::fwrite(text.data(), 1, text.size(), stream) != text.size()) ||
        std::fflush(stream) != 0) {
        // A short write with nothing in errno still lost bytes.
        return errno != 0 ? errno : EIO;
    }
    return 0;
}
#else // POSIX
// Straight to the descriptor, as every write is flushed at once anyway: a descriptor that a
// parent left non-blocking is waited on rather than failing when it cannot take more yet.
int writeTo(std::FILE* stream, std::string_view text) {
    const int fd = ::fileno(stream);
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written > 0) {
            text.remove_prefix(static_cast<std::size_t>(written));
        } else if (written == 0) {
            return EIO; // nothing taken and no reason given
        } else if (errno != EINTR &&
                   ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitForDescriptor(fd, POLLOUT))) {
            return errno;
        }
    }
    return 0;
}
#endif

// Standard error has no one to report its own failure to.
void reportOnErr(std::string_view text) {
    if (!errFailed && writeTo(stderr, text) != 0) {
        errFailed = true;
    }
}
} // namespace

bool writeOut(std::string_view text) {
    if (outFailed) {
        return false;
    }
    const int error = writeTo(stdout, text);
    if (error != 0) {
        outFailed = true;
        reportOnErr(std::string("wsconsole: cannot write to standard output: ") +
                    std::strerror(error) + "\n");
    }
    return consoleWritesOk();
}

void writeErr(std::string_view text) {
    reportOnErr(text);
}

bool consoleWritesOk() {
    return !outFailed && !errFailed;
}

int consoleExitStatus() {
    const int readError = consoleAnswers().error();
    if (readError != 0) {
        reportOnErr(std::string("wsconsole: cannot read standard input: ") +
                    std::strerror(readError) + "\n");
    }
    return consoleWritesOk() && readError == 0 ? 0 : 1;
}
