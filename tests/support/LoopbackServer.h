#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// An HTTP server on 127.0.0.1 for tests. It listens as soon as it is constructed, takes one
// connection after another, records each raw request (head and body) and answers every one
// with the same scripted bytes, then closes the connection. Every wait is bounded, and the
// destructor stops it. What goes wrong in its thread (a request it cannot read) fails the test
// that owns it, with a message, when the server is destroyed.
class LoopbackServer {
  public:
#ifdef _WIN32
    using Socket = std::uintptr_t; // winsock's SOCKET
#else
    using Socket = int;
#endif

    struct Reply {
        std::vector<std::string> pieces;    // sent in order, one write each
        std::chrono::milliseconds pause{0}; // between two pieces
    };

    explicit LoopbackServer(Reply reply);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const {
        return port_;
    }
    std::string url(const std::string& path) const;

    // The requests received so far, oldest first.
    std::vector<std::string> requests() const;
    // The only request received; fails the test when there was not exactly one.
    std::string onlyRequest() const;

  private:
    void serve();
    void serveConnections();
    void answer(Socket connection);
    void fail(const std::string& fault);

    Reply reply_;
    Socket listener_{};
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::string fault_; // the first thing that went wrong in the server's thread
    std::thread thread_;
};

// A complete HTTP/1.1 answer with a Content-Length.
std::string httpAnswer(int status, const std::string& body);

// The body of an answer cut into `parts` chunks of Transfer-Encoding: chunked, head included.
std::vector<std::string> chunkedAnswer(const std::string& body, std::size_t parts);

// A port on 127.0.0.1 where nothing listens.
int unusedPort();
