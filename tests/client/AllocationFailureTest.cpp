// Out of memory while an answer arrives, torture style: the allocations of the response block
// are made to fail at the 1st, the 2nd, ... attempt in turn, until the answer fits before the
// failure comes. Leaks are left to LeakSanitizer and valgrind, which run these tests too.
#include <wsclient/WebServiceClient.h>

#include "FailingAllocation.h"
#include "LoopbackServer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {
// Enough to try every growth of a geometric buffer many times over.
constexpr unsigned mostAttempts = 200;

struct Outcome {
    bool isOk = true; // the call must set it
    std::string answer = "as given";
    std::string out;
    std::string err;
};

bool operator==(const Outcome& a, const Outcome& b) {
    return a.isOk == b.isOk && a.answer == b.answer && a.out == b.out && a.err == b.err;
}

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << "isOk " << o.isOk << ", an answer of " << o.answer.size() << " bytes starting \""
              << o.answer.substr(0, 60) << "\", out \"" << o.out << "\", err \"" << o.err << "\"";
}

void callWith(const std::string& url, Outcome& outcome) {
    callWebService(url, {{"message", R"({"page":"unIDdepage"})"}}, {}, outcome.isOk,
                   outcome.answer);
}

void postWith(const std::string& url, Outcome& outcome) {
    outcome.isOk = postUrlEncoded(url, "name=Zunel&page=unIDdepage", outcome.answer);
}

// One call of the client, and what it must leave when the answer is lost for want of memory.
struct Case {
    const char* name;
    void (*run)(const std::string& url, Outcome& outcome);
    Outcome failed;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

const Case cases[] = {
    {"callWebService",
     &callWith,
     {false, "as given", "",
      std::string("curl_easy_perform() failed: ") + curl_easy_strerror(CURLE_WRITE_ERROR) + "\n"}},
    {"postUrlEncoded", &postWith, {false, curl_easy_strerror(CURLE_WRITE_ERROR), "", ""}},
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

class AllocationFailure : public testing::TestWithParam<Case> {
  protected:
    // The answer in about 12 KiB chunks, so that the block grows by many steps, the first small.
    AllocationFailure() : body_(largeBody()), server_({chunkedAnswer(body_, 250), {}}) {}

    // Runs the case's call with allocations failing by `rule`, capturing what it prints; `struck`
    // tells whether the rule refused anything.
    Outcome runFailing(FailingAllocation (*rule)(unsigned), unsigned n, bool& struck) {
        Outcome outcome;
        CaptureStdout();
        CaptureStderr();
        {
            const FailingAllocation failing = rule(n);
            GetParam().run(server_.url("/ws/testMsg"), outcome);
            struck = failing.struck();
        }
        outcome.err = GetCapturedStderr();
        outcome.out = GetCapturedStdout();
        return outcome;
    }

    Outcome delivered() const {
        return {true, body_, "", ""};
    }

    std::string body_;
    LoopbackServer server_;
};

// Memory that runs out for good at each growth in turn fails the transfer with libcurl's write
// error; once the failure comes too late to matter, the whole body arrives.
TEST_P(AllocationFailure, FailsTheTransferAtEachGrowthInTurn) {
    unsigned n = 1;
    for (bool struck = true; struck && n <= mostAttempts; ++n) {
        SCOPED_TRACE("allocations fail from attempt " + std::to_string(n));
        const Outcome outcome = runFailing(&FailingAllocation::fromAttempt, n, struck);
        EXPECT_EQ(outcome, struck ? GetParam().failed : delivered());
        if (HasFailure()) {
            return;
        }
    }
    // The body must have made the block grow, or nothing was tried.
    EXPECT_GT(n, 3u);
    EXPECT_LE(n, mostAttempts);
}

// A single refusal that a smaller block may make up for: then the whole body is there; otherwise
// the transfer fails as above. Never a part of the body.
TEST_P(AllocationFailure, AOneOffFailureLosesTheTransferOrNothing) {
    bool struck = true;
    for (unsigned n = 1; struck && n <= mostAttempts; ++n) {
        SCOPED_TRACE("only allocation attempt " + std::to_string(n) + " fails");
        const Outcome outcome = runFailing(&FailingAllocation::atAttemptOnly, n, struck);
        if (outcome.isOk) {
            EXPECT_EQ(outcome, delivered());
        } else {
            EXPECT_EQ(outcome, GetParam().failed);
        }
        if (HasFailure()) {
            return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothCalls, AllocationFailure, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });
} // namespace
