// Out of memory while an answer arrives, torture style: the (re)allocations of the response block
// are made to fail at the 1st, the 2nd, ... call in turn, until the answer fits before the
// failure comes. Leaks are left to LeakSanitizer and valgrind, which run these tests too.
#include "ResponseBuffer.h"
#include "WebServiceClient.h"

#include "LoopbackServer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {
constexpr const char* writeErrorLine =
    "curl_easy_perform() failed: Failed writing received data to disk/application\n";

// Enough to try every growth of a geometric buffer many times over.
constexpr unsigned mostCalls = 200;

// Makes the block reallocator fail from its `failAt`th call on (a lasting shortage, as when
// memory has run out) or at that call only (a one-off), and hands every other call to the
// reallocator it replaced. The replaced one is back when the guard goes.
class FailingReallocation {
  public:
    enum class Kind { Lasting, OneOff };

    FailingReallocation(unsigned failAt, Kind kind) {
        calls_ = 0;
        failAt_ = failAt;
        kind_ = kind;
        struck_ = false;
        previous_ = setBlockReallocator(&reallocate);
    }
    ~FailingReallocation() { setBlockReallocator(previous_); }
    FailingReallocation(const FailingReallocation&) = delete;
    FailingReallocation& operator=(const FailingReallocation&) = delete;

    // Whether a call was refused.
    bool struck() const { return struck_; }
    unsigned calls() const { return calls_; }

  private:
    static void* reallocate(void* block, std::size_t bytes) {
        ++calls_;
        if (calls_ == failAt_ || (kind_ == Kind::Lasting && calls_ > failAt_)) {
            struck_ = true;
            return nullptr;
        }
        return previous_(block, bytes);
    }

    static inline unsigned calls_ = 0;
    static inline unsigned failAt_ = 0;
    static inline Kind kind_ = Kind::Lasting;
    static inline bool struck_ = false;
    static inline BlockReallocator previous_ = nullptr;
};

// A 3 MiB text body without 0 bytes, in a pattern that no shifted or repeated block matches.
std::string largeBody() {
    std::minstd_rand random(20240607);
    std::string body(3u << 20, ' ');
    for (char& c : body) {
        c = static_cast<char>('a' + random() % 26);
    }
    return body;
}

// The answer in about 3 KiB chunks, so that the block grows by many small steps.
LoopbackServer::Reply chunked(const std::string& body) {
    return {chunkedAnswer(body, 1000), {}};
}

struct Outcome {
    bool isOk = true; // the call must set it
    std::string answer = "as given";
    std::string out;
    std::string err;
    unsigned calls = 0;
    bool struck = false;
};

// Runs `call` with the failAt-th reallocation failing, capturing what it prints.
template <typename Call>
Outcome failingAt(unsigned failAt, FailingReallocation::Kind kind, Call call) {
    Outcome outcome;
    FailingReallocation failing(failAt, kind);
    CaptureStdout();
    CaptureStderr();
    call(outcome);
    outcome.err = GetCapturedStderr();
    outcome.out = GetCapturedStdout();
    outcome.calls = failing.calls();
    outcome.struck = failing.struck();
    return outcome;
}

Outcome callFailingAt(const std::string& url, unsigned failAt, FailingReallocation::Kind kind) {
    return failingAt(failAt, kind, [&url](Outcome& outcome) {
        callWebService(url, {{"message", R"({"page":"unIDdepage"})"}}, {}, outcome.isOk,
                       outcome.answer);
    });
}

Outcome postFailingAt(const std::string& url, unsigned failAt, FailingReallocation::Kind kind) {
    return failingAt(failAt, kind, [&url](Outcome& outcome) {
        outcome.isOk = postUrlEncoded(url, "name=Zunel&page=unIDdepage", outcome.answer);
    });
}
} // namespace

// callWebService with the one text field the console sends: every failing call fails the
// transfer with libcurl's write error on standard error and leaves isOk and the answer alone;
// once the failure comes too late to matter, the whole body arrives.
TEST(AllocationFailure, CallWebServiceFailsWithTheWriteErrorAtEachGrowthInTurn) {
    const std::string body = largeBody();
    LoopbackServer server(chunked(body));
    const std::string url = server.url("/ws/testMsg");
    unsigned failAt = 1;
    for (; failAt <= mostCalls; ++failAt) {
        SCOPED_TRACE("reallocation " + std::to_string(failAt) + " fails");
        Outcome outcome = callFailingAt(url, failAt, FailingReallocation::Kind::Lasting);
        if (!outcome.struck) {
            EXPECT_TRUE(outcome.isOk);
            EXPECT_TRUE(outcome.answer == body)
                << "an answer of " << outcome.answer.size() << " bytes instead of " << body.size();
            EXPECT_EQ(outcome.out + outcome.err, "");
            break;
        }
        EXPECT_EQ(outcome.err, writeErrorLine);
        EXPECT_EQ(outcome.out, "");
        EXPECT_FALSE(outcome.isOk);
        EXPECT_EQ(outcome.answer, "as given");
        if (HasFailure()) {
            break;
        }
    }
    // The body must have made the block grow, or nothing was tried.
    EXPECT_GT(failAt, 2u);
    EXPECT_LE(failAt, mostCalls);
    EXPECT_EQ(server.requests().size(), failAt);
}

// postUrlEncoded the same way: false and libcurl's text for the write error, nothing printed.
TEST(AllocationFailure, PostUrlEncodedReturnsTheWriteErrorAtEachGrowthInTurn) {
    const std::string body = largeBody();
    LoopbackServer server(chunked(body));
    const std::string url = server.url("/ws/testMsg");
    unsigned failAt = 1;
    for (; failAt <= mostCalls; ++failAt) {
        SCOPED_TRACE("reallocation " + std::to_string(failAt) + " fails");
        Outcome outcome = postFailingAt(url, failAt, FailingReallocation::Kind::Lasting);
        EXPECT_EQ(outcome.out + outcome.err, "");
        if (!outcome.struck) {
            EXPECT_TRUE(outcome.isOk);
            EXPECT_TRUE(outcome.answer == body)
                << "an answer of " << outcome.answer.size() << " bytes instead of " << body.size();
            break;
        }
        EXPECT_FALSE(outcome.isOk);
        EXPECT_EQ(outcome.answer, curl_easy_strerror(CURLE_WRITE_ERROR));
        if (HasFailure()) {
            break;
        }
    }
    EXPECT_GT(failAt, 2u);
    EXPECT_LE(failAt, mostCalls);
}

// A single refused call that a later one may make up for: the buffer may recover, but then the
// whole body must be there; otherwise the transfer fails as above. Never a part of the body.
TEST(AllocationFailure, AOneOffFailureLosesTheTransferOrNothing) {
    const std::string body = largeBody();
    LoopbackServer server(chunked(body));
    const std::string url = server.url("/ws/testMsg");
    for (unsigned failAt = 1; failAt <= mostCalls; ++failAt) {
        SCOPED_TRACE("only reallocation " + std::to_string(failAt) + " fails");
        const Outcome called = callFailingAt(url, failAt, FailingReallocation::Kind::OneOff);
        if (called.isOk) {
            EXPECT_TRUE(called.answer == body)
                << "an answer of " << called.answer.size() << " bytes instead of " << body.size();
            EXPECT_EQ(called.out + called.err, "");
        } else {
            EXPECT_EQ(called.err, writeErrorLine);
            EXPECT_EQ(called.answer, "as given");
        }
        const Outcome posted = postFailingAt(url, failAt, FailingReallocation::Kind::OneOff);
        if (posted.isOk) {
            EXPECT_TRUE(posted.answer == body)
                << "an answer of " << posted.answer.size() << " bytes instead of " << body.size();
        } else {
            EXPECT_EQ(posted.answer, curl_easy_strerror(CURLE_WRITE_ERROR));
        }
        if (HasFailure() || (!called.struck && !posted.struck)) {
            break;
        }
    }
}
