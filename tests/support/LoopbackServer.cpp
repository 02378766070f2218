#include "LoopbackServer.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef NOMINMAX // windows.h would otherwise hide std::min
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>

namespace {
using Socket = LoopbackServer::Socket;
// Only for a client that hangs: a loaded machine (valgrind, the sanitizers) may be slow to send.
constexpr int ioTimeoutMs = 30000;

#ifdef _WIN32
// Winsock wants each process to start it before its first socket; it is stopped at exit.
struct Winsock {
    Winsock() {
        WSADATA data;
        if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            throw std::runtime_error("WSAStartup() failed");
        }
    }
    ~Winsock() {
        ::WSACleanup();
    }
};

Socket openStream() {
    static const Winsock winsock;
    const SOCKET fd = ::socket(AF_INET, SOCK_STREAM, 0);
    return fd == INVALID_SOCKET ? ~Socket{0} : fd;
}
bool valid(Socket fd) {
    return fd != ~Socket{0};
}
void closeSocket(Socket fd) {
    ::closesocket(fd);
}
Socket acceptOn(Socket listener) {
    return ::accept(listener, nullptr, nullptr);
}
using AddressLength = int;
using PollEntry = WSAPOLLFD;
int pollOne(PollEntry& entry, int timeoutMs) {
    return ::WSAPoll(&entry, 1, timeoutMs);
}
// Windows sockets raise no signal on a closed peer.
constexpr int noSignal = 0;
#else
// Descriptors are closed on exec, so that no program a test starts holds the server open; a
// peer that went away fails a send instead of raising SIGPIPE.
#ifdef __linux__
// ---- Linux section: both at creation ----
Socket openStream() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
Socket acceptOn(Socket listener) {
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}
constexpr int noSignal = MSG_NOSIGNAL;
// ---- end of Linux section ----
#else
Socket closedOnExec(Socket fd) {
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    }
    return fd;
}
Socket openStream() {
    return closedOnExec(::socket(AF_INET, SOCK_STREAM, 0));
}
Socket acceptOn(Socket listener) {
    return closedOnExec(::accept(listener, nullptr, nullptr));
}
#ifdef MSG_NOSIGNAL
constexpr int noSignal = MSG_NOSIGNAL;
#else
constexpr int noSignal = 0;
#endif
#endif
bool valid(Socket fd) {
    return fd >= 0;
}
void closeSocket(Socket fd) {
    ::close(fd);
}
using AddressLength = socklen_t;
using PollEntry = pollfd;
int pollOne(PollEntry& entry, int timeoutMs) {
    return ::poll(&entry, 1, timeoutMs);
}
#endif

Socket listenOnLoopback(int& port) {
    const Socket fd = openStream();
    if (!valid(fd)) {
        throw std::runtime_error("socket() failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    AddressLength length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closeSocket(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool waitReadable(Socket fd, int timeoutMs) {
    PollEntry entry{};
    entry.fd = fd;
    entry.events = POLLIN;
    return pollOne(entry, timeoutMs) > 0;
}

void sendAll(Socket fd, const std::string& bytes) {
    constexpr std::size_t most = 1 << 20; // what one send takes, on every platform
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const auto n = ::send(fd, bytes.data() + sent,
                              static_cast<int>(std::min(most, bytes.size() - sent)), noSignal);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The Content-Length of a request's head, 0 when there is none; false when its value is not a
// number that fits. Never throws: it runs in the server's thread, where an exception would end
// the whole test program.
bool contentLength(const std::string& head, std::size_t& length) {
    length = 0;
    const std::size_t at = lowered(head).find("\r\ncontent-length:");
    if (at == std::string::npos) {
        return true;
    }
    std::size_t i = head.find_first_not_of(" \t", at + 17);
    const std::size_t end = head.find("\r\n", at + 17);
    bool digits = false;
    for (; i < end && std::isdigit(static_cast<unsigned char>(head[i])); ++i, digits = true) {
        const auto digit = static_cast<std::size_t>(head[i] - '0');
        if (length > (SIZE_MAX - digit) / 10) {
            return false;
        }
        length = length * 10 + digit;
    }
    return digits && (i >= end || head.find_first_not_of(" \t", i) == end);
}
} // namespace

LoopbackServer::LoopbackServer(Reply reply) : reply_(std::move(reply)) {
    listener_ = listenOnLoopback(port_);
    thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() {
    stopping_ = true;
    thread_.join();
    closeSocket(listener_);
    // The test that started the server fails, not the whole program.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fault_.empty()) {
        ADD_FAILURE() << "loopback server: " << fault_;
    }
}

std::string LoopbackServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> LoopbackServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::string LoopbackServer::onlyRequest() const {
    const auto all = requests();
    EXPECT_EQ(all.size(), 1u) << "requests received by the server";
    return all.empty() ? std::string() : all.front();
}

void LoopbackServer::fail(const std::string& fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fault_.empty()) {
        fault_ = fault;
    }
}

void LoopbackServer::serve() {
    // Whatever goes wrong in this thread is kept for the test to fail on: an exception that
    // left it would end the whole test program.
    try {
        serveConnections();
    } catch (const std::exception& error) {
        fail(std::string("stopped: ") + error.what());
    } catch (...) {
        fail("stopped by an unknown exception");
    }
}

void LoopbackServer::serveConnections() {
    while (!stopping_) {
        if (!waitReadable(listener_, 50)) {
            continue;
        }
        const Socket connection = acceptOn(listener_);
        if (valid(connection)) {
            answer(connection);
            closeSocket(connection);
        }
    }
}

void LoopbackServer::answer(Socket connection) {
    std::string request;
    std::size_t headEnd = std::string::npos;
    std::size_t expected = 0;
    bool continued = false;
    char block[65536];
    while (headEnd == std::string::npos || request.size() < headEnd + 4 + expected) {
        if (headEnd != std::string::npos && !continued &&
            lowered(request.substr(0, headEnd)).find("\r\nexpect: 100-continue") !=
                std::string::npos) {
            sendAll(connection, "HTTP/1.1 100 Continue\r\n\r\n");
            continued = true;
        }
        if (!waitReadable(connection, ioTimeoutMs)) {
            break;
        }
        const auto n = ::recv(connection, block, sizeof block, 0);
        if (n <= 0) {
            break;
        }
        request.append(block, static_cast<std::size_t>(n));
        if (headEnd == std::string::npos) {
            headEnd = request.find("\r\n\r\n");
            if (headEnd != std::string::npos &&
                !contentLength(request.substr(0, headEnd + 2), expected)) {
                fail("a request's Content-Length is not a number: " + request.substr(0, headEnd));
                return;
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
    }
    for (std::size_t i = 0; i < reply_.pieces.size(); ++i) {
        if (i > 0 && reply_.pause.count() > 0) {
            std::this_thread::sleep_for(reply_.pause);
        }
        sendAll(connection, reply_.pieces[i]);
    }
}

std::string httpAnswer(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Type: text/plain\r\n" +
           "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

std::vector<std::string> chunkedAnswer(const std::string& body, std::size_t parts) {
    std::vector<std::string> pieces{
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"};
    const std::size_t step = std::max<std::size_t>(1, (body.size() + parts - 1) / parts);
    for (std::size_t at = 0; at < body.size(); at += step) {
        const std::string part = body.substr(at, step);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
        pieces.push_back(size + part + "\r\n");
    }
    pieces.push_back("0\r\n\r\n");
    return pieces;
}

int unusedPort() {
    int port = 0;
    closeSocket(listenOnLoopback(port));
    return port;
}
