#include <wsclient/WebServiceClient.h>

#include "LoopbackServer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {
std::mutex reportedMutex;
std::vector<std::string> reported;
void recordReport(ReportStream, std::string_view text) {
    const std::lock_guard<std::mutex> lock(reportedMutex);
    reported.emplace_back(text);
}
} // namespace

// Both calls from 8 threads at once, half of them to a port where nothing listens: each thread
// gets its own answers and failures, which the build with ThreadSanitizer checks for races.
TEST(Threads, CallsOverlapWhereLibcurlsGlobalSetUpIsThreadSafe) {
    if ((curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_THREADSAFE) == 0) {
        GTEST_SKIP() << "this libcurl's global set-up is not thread-safe: calls must not overlap";
    }
    constexpr int threads = 8;
    constexpr int rounds = 10;
    LoopbackServer server({{httpAnswer(200, "answer")}, {}});
    const std::string refused = "http://127.0.0.1:" + std::to_string(unusedPort()) + "/";
    const ReportFunction previous = setReportFunction(&recordReport);
    std::atomic<int> wrong{0};
    std::vector<std::thread> running;
    running.reserve(threads);
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                const std::string mark = std::to_string(t) + "-" + std::to_string(round);
                bool isOk = false;
                std::string retour;
                callWebService(server.url("/msg"), {{"message", "m" + mark}}, {}, isOk, retour);
                std::string response;
                const bool posted = postUrlEncoded(server.url("/form"), "p=" + mark, response);
                bool refusedOk = true;
                std::string refusedRetour = "as given";
                callWebService(refused, {{"message", "x"}}, {}, refusedOk, refusedRetour);
                std::string refusedResponse;
                const bool refusedPosted = postUrlEncoded(refused, "p=x", refusedResponse);
                if (!isOk || retour != "answer" || !posted || response != "answer" || refusedOk ||
                    refusedRetour != "as given" || refusedPosted ||
                    refusedResponse != curl_easy_strerror(CURLE_COULDNT_CONNECT)) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : running) {
        thread.join();
    }
    setReportFunction(previous);

    EXPECT_EQ(wrong.load(), 0);
    const std::vector<std::string> requests = server.requests();
    EXPECT_EQ(requests.size(), std::size_t{threads} * rounds * 2);
    for (int t = 0; t < threads; ++t) {
        for (int round = 0; round < rounds; ++round) {
            const std::string mark = std::to_string(t) + "-" + std::to_string(round);
            const auto has = [&](const std::string& text) {
                return std::count_if(requests.begin(), requests.end(), [&](const auto& request) {
                           return request.find(text) != std::string::npos;
                       }) == 1;
            };
            EXPECT_TRUE(has("\r\n\r\nm" + mark + "\r\n")) << mark;
            EXPECT_TRUE(has("\r\n\r\np=" + mark)) << mark;
        }
    }
    const std::string failed = std::string("curl_easy_perform() failed: ") +
                               curl_easy_strerror(CURLE_COULDNT_CONNECT) + "\n";
    EXPECT_EQ(reported, std::vector<std::string>(std::size_t{threads} * rounds, failed));
}
