#pragma once

// Opens the null device on each of the descriptors of standard input, output and error that
// the program was started without. Otherwise the first descriptors that libcurl opens take
// those numbers, and the console's own writes (a transfer's error line, say) go into libcurl's
// sockets. Called before anything else opens a descriptor. False when a closed descriptor could
// not be opened: the program must not go on then.
bool openClosedStandardStreams();

#ifndef _WIN32 // POSIX
// Blocks until descriptor `fd` is ready for `events` (POLLIN or POLLOUT), or has ended or
// failed, which the next read or write then tells. For the standard streams that a parent left
// non-blocking. False when the wait itself failed.
bool waitForDescriptor(int fd, short events);
#endif
