#include <wsclient/WebServiceClient.h>

#include "LoopbackServer.h"

#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>

using testing::HasSubstr;
using testing::StartsWith;

namespace {
std::string body(const std::string& request) {
    return request.substr(request.find("\r\n\r\n") + 4);
}
} // namespace

TEST(PostUrlEncoded, SendsTheCallersBodyUnchangedWithItsTypeAndUserAgent) {
    LoopbackServer server({{httpAnswer(200, "thanks")}, {}});
    std::string response = "previous";
    EXPECT_TRUE(postUrlEncoded(server.url("/form?q=1"), "a=1&b=%20x&c=d e", response));
    EXPECT_EQ(response, "thanks");

    const std::string request = server.onlyRequest();
    EXPECT_THAT(request, StartsWith("POST /form?q=1 HTTP/1.1\r\n"));
    EXPECT_THAT(request, HasSubstr("\r\nUser-Agent: libcurl-agent/1.0\r\n"));
    EXPECT_THAT(request, HasSubstr("\r\nContent-Type: application/x-www-form-urlencoded\r\n"));
    EXPECT_THAT(request, HasSubstr("\r\nContent-Length: 16\r\n"));
    EXPECT_EQ(body(request), "a=1&b=%20x&c=d e");
}

TEST(PostUrlEncoded, TheBodyEndsAtItsFirstZeroByte) {
    LoopbackServer server({{httpAnswer(200, "ok")}, {}});
    std::string response;
    EXPECT_TRUE(postUrlEncoded(server.url("/"), std::string("a=1\0b=2", 7), response));
    EXPECT_EQ(body(server.onlyRequest()), "a=1");
}

TEST(PostUrlEncoded, ACompletedTransferSucceedsWhateverItsStatusOrBody) {
    {
        LoopbackServer server({{httpAnswer(200, "")}, {}});
        std::string response = "stale text from an earlier call";
        EXPECT_TRUE(postUrlEncoded(server.url("/"), "a=1", response));
        EXPECT_EQ(response, "");
    }
    {
        LoopbackServer server({{httpAnswer(404, std::string("missing\0tail", 12))}, {}});
        std::string response;
        EXPECT_TRUE(postUrlEncoded(server.url("/"), "a=1", response));
        EXPECT_EQ(response, "missing");
    }
}

TEST(PostUrlEncoded, FailuresHandBackLibcurlsTextAndWriteNothing) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::string refused = "stale";
    const bool refusedOk =
        postUrlEncoded("http://127.0.0.1:" + std::to_string(unusedPort()) + "/", "a=1", refused);

    // A head that promises more than comes, modestly or hugely.
    std::string partial[2];
    bool partialOk[2] = {true, true};
    const char* promised[2] = {"100", "68719476736"};
    for (int i = 0; i < 2; ++i) {
        LoopbackServer server({{std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + promised[i] +
                                "\r\n\r\nonly ten b"},
                               {}});
        partialOk[i] = postUrlEncoded(server.url("/"), "a=1", partial[i]);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    EXPECT_FALSE(refusedOk);
    EXPECT_EQ(refused, curl_easy_strerror(CURLE_COULDNT_CONNECT));
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(partialOk[i]);
        EXPECT_EQ(partial[i], curl_easy_strerror(CURLE_PARTIAL_FILE));
    }
}

TEST(PostUrlEncoded, TakesTurnsWithMultipartCallsInOneProcess) {
    LoopbackServer server({{httpAnswer(200, "turn")}, {}});
    for (int round = 0; round < 3; ++round) {
        std::string response;
        EXPECT_TRUE(
            postUrlEncoded(server.url("/encoded"), "round=" + std::to_string(round), response));
        EXPECT_EQ(response, "turn");
        bool isOk = false;
        std::string answer;
        callWebService(server.url("/multipart"), {{"round", std::to_string(round)}}, {}, isOk,
                       answer);
        EXPECT_TRUE(isOk);
        EXPECT_EQ(answer, "turn");
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(body(requests[4]), "round=2");
    EXPECT_THAT(requests[5], HasSubstr("name=\"round\"\r\n\r\n2\r\n"));
}

// The test support itself: a request head the loopback server cannot read fails the test that
// owns the server, with a message, instead of ending the whole test program from its thread.
TEST(LoopbackServer, AHeadItCannotReadFailsTheOwningTestWithAMessage) {
    EXPECT_NONFATAL_FAILURE(
        {
            LoopbackServer server({{httpAnswer(200, "unused")}, {}});
            curl_global_init(CURL_GLOBAL_ALL);
            CURL* handle = curl_easy_init();
            curl_slist* headers = curl_slist_append(nullptr, "Content-Length: many");
            curl_easy_setopt(handle, CURLOPT_URL, server.url("/").c_str());
            curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
            curl_easy_setopt(handle, CURLOPT_POSTFIELDS, "a=1");
            curl_easy_perform(handle);
            curl_easy_cleanup(handle);
            curl_slist_free_all(headers);
            curl_global_cleanup();
        },
        "Content-Length is not a number");
}
