// A fast HTTP/1.1 server on 127.0.0.1 for the benchmarks: it takes one connection after another,
// reads and discards the request (answering "Expect: 100-continue" first), then answers a body
// of a fixed number of bytes of plain text, without any 0 byte, and closes the connection.
//
//   body_server PORT ANSWER_BYTES
//
// It prints "listening on 127.0.0.1:PORT" once it accepts connections, and runs until it is
// killed. Every read and write on a connection gives up after a while, so a stuck client cannot
// hang it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
constexpr std::size_t blockBytes = 1 << 20;
constexpr long ioTimeoutSeconds = 30;
constexpr std::size_t maxHeadBytes = 64 * 1024;

// Closes the descriptor it owns.
class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

bool sendAll(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::send(fd, bytes, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool sendText(int fd, const std::string& text) {
    return sendAll(fd, text.data(), text.size());
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The value of header `name` (lower case, with the colon) in a lowered head, or "".
std::string headerValue(const std::string& head, const std::string& name) {
    const std::size_t at = head.find("\r\n" + name);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t from = head.find_first_not_of(" \t", at + 2 + name.size());
    const std::size_t to = head.find("\r\n", at + 2);
    return from == std::string::npos || from >= to ? std::string() : head.substr(from, to - from);
}

// Reads a connection through one large block; what the head read ahead stays for the body.
class Reader {
  public:
    explicit Reader(int fd) : fd_(fd), block_(blockBytes) {}

    // Fills the block again once it is used up; false at the end of the stream or on error.
    bool refill() {
        if (begin_ < end_) {
            return true;
        }
        for (;;) {
            const ssize_t n = ::recv(fd_, block_.data(), block_.size(), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            begin_ = 0;
            end_ = static_cast<std::size_t>(n);
            return true;
        }
    }

    // The request head, up to and including the blank line; empty when there is none.
    std::string head() {
        std::string text;
        while (text.size() < maxHeadBytes && refill()) {
            const std::size_t before = text.size();
            text.append(block_.data() + begin_, end_ - begin_);
            const std::size_t blank = text.find("\r\n\r\n", before < 3 ? 0 : before - 3);
            if (blank != std::string::npos) {
                begin_ += blank + 4 - before;
                text.resize(blank + 4);
                return text;
            }
            begin_ = end_;
        }
        return {};
    }

    // Skips `count` bytes.
    bool discard(std::size_t count) {
        while (count > 0) {
            if (!refill()) {
                return false;
            }
            const std::size_t taken = std::min(count, end_ - begin_);
            begin_ += taken;
            count -= taken;
        }
        return true;
    }

    // One line, without its CRLF.
    bool line(std::string& text) {
        text.clear();
        while (refill()) {
            const char c = block_[begin_++];
            if (c == '\n') {
                if (!text.empty() && text.back() == '\r') {
                    text.pop_back();
                }
                return true;
            }
            if (text.size() > maxHeadBytes) {
                return false;
            }
            text.push_back(c);
        }
        return false;
    }

    // Skips a body sent with Transfer-Encoding: chunked, trailers included.
    bool discardChunked() {
        std::string text;
        for (;;) {
            if (!line(text)) {
                return false;
            }
            const std::size_t size = std::strtoul(text.c_str(), nullptr, 16);
            if (size == 0) {
                while (line(text) && !text.empty()) {
                }
                return true;
            }
            if (!discard(size) || !line(text)) {
                return false;
            }
        }
    }

  private:
    int fd_;
    std::vector<char> block_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

void serveOne(int fd, const std::vector<char>& pattern, std::size_t answerBytes) {
    const timeval timeout{ioTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

    Reader reader(fd);
    const std::string head = lowered(reader.head());
    if (head.empty()) {
        return;
    }
    if (headerValue(head, "expect:") == "100-continue" &&
        !sendText(fd, "HTTP/1.1 100 Continue\r\n\r\n")) {
        return;
    }
    const bool chunked =
        headerValue(head, "transfer-encoding:").find("chunked") != std::string::npos;
    const std::size_t length =
        std::strtoull(headerValue(head, "content-length:").c_str(), nullptr, 10);
    if (!(chunked ? reader.discardChunked() : reader.discard(length))) {
        return;
    }

    const std::string answerHead =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
        std::to_string(answerBytes) + "\r\nConnection: close\r\n\r\n";
    if (!sendText(fd, answerHead)) {
        return;
    }
    for (std::size_t left = answerBytes; left > 0;) {
        const std::size_t piece = std::min(left, pattern.size());
        if (!sendAll(fd, pattern.data(), piece)) {
            return;
        }
        left -= piece;
    }
    // Waits for the client to close its side, so that the close below never resets a
    // connection whose answer the client is still reading.
    ::shutdown(fd, SHUT_WR);
    char sink[4096];
    while (::recv(fd, sink, sizeof sink, 0) > 0) {
    }
}

// Lines of printable text, so that the answer reads as text and holds no 0 byte.
std::vector<char> answerPattern() {
    std::vector<char> pattern(blockBytes);
    const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = i % 64 == 63 ? '\n' : letters[i % 36];
    }
    return pattern;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: body_server PORT ANSWER_BYTES\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::size_t answerBytes = std::strtoull(argv[2], nullptr, 10);
    ::signal(SIGPIPE, SIG_IGN);

    Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int yes = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (listener.get() < 0 ||
        ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 64) != 0) {
        std::fprintf(stderr, "body_server: cannot listen on 127.0.0.1:%d: %s\n", port,
                     std::strerror(errno));
        return 1;
    }
    std::printf("listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);

    const std::vector<char> pattern = answerPattern();
    for (;;) {
        const int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            std::fprintf(stderr, "body_server: accept failed: %s\n", std::strerror(errno));
            return 1;
        }
        Socket connection(fd);
        serveOne(connection.get(), pattern, answerBytes);
    }
}
