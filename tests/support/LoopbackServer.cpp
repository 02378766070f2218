#include "LoopbackServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace {
constexpr int ioTimeoutMs = 5000;

int listenOnLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket() failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool waitReadable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs) > 0;
}

void sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
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

std::size_t contentLength(const std::string& head) {
    const std::string lower = lowered(head);
    const std::size_t at = lower.find("\r\ncontent-length:");
    return at == std::string::npos ? 0 : std::stoul(head.substr(at + 17));
}
} // namespace

LoopbackServer::LoopbackServer(Reply reply) : reply_(std::move(reply)) {
    listener_ = listenOnLoopback(port_);
    thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
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

void LoopbackServer::serve() {
    while (!stopping_) {
        if (!waitReadable(listener_, 50)) {
            continue;
        }
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            answer(connection);
            ::close(connection);
        }
    }
}

void LoopbackServer::answer(int connection) {
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
        const ssize_t n = ::recv(connection, block, sizeof block, 0);
        if (n <= 0) {
            break;
        }
        request.append(block, static_cast<std::size_t>(n));
        if (headEnd == std::string::npos) {
            headEnd = request.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                expected = contentLength(request.substr(0, headEnd + 2));
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
    ::close(listenOnLoopback(port));
    return port;
}
