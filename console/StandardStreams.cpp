#include "StandardStreams.h"

#ifdef _WIN32
// A Windows process always starts with the three standard handles, and libcurl's sockets are
// never given their numbers.
bool openClosedStandardStreams() {
    return true;
}
#else // POSIX
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

bool openClosedStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lower descriptors are all open by now, so open() gives exactly this number.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened != -1) {
                ::close(opened);
            }
            return false;
        }
    }
    return true;
}

bool waitForDescriptor(int fd, short events) {
    pollfd ready{fd, events, 0};
    while (::poll(&ready, 1, -1) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}
#endif
