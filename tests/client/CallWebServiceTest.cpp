#include <wsclient/WebServiceClient.h>

#include "LoopbackServer.h"

#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

using testing::HasSubstr;
using testing::StartsWith;

namespace {
struct Outcome {
    bool isOk = true; // the call must set it
    std::string retour = "as given";
    std::string out;
    std::string err;
};

Outcome call(const std::string& url, const FieldMap& texts, const FieldMap& files) {
    Outcome outcome;
    CaptureStdout();
    CaptureStderr();
    callWebService(url, texts, files, outcome.isOk, outcome.retour);
    outcome.err = GetCapturedStderr();
    outcome.out = GetCapturedStdout();
    return outcome;
}

// libcurl's words for an error, as the library in use has them.
std::string failedLine(CURLcode code) {
    return std::string("curl_easy_perform() failed: ") + curl_easy_strerror(code) + "\n";
}

const char* const nothingToSend =
    "aucun fichier pass\xc3\xa9 et map etre vide..., toi te foutre de la geule du stagiaire "
    "malefique??? pas bonne idee ca etre, moi mettre mauvais oeil sur toi !";

// What a program's report function received.
std::vector<std::pair<ReportStream, std::string>> reported;
void recordReport(ReportStream stream, std::string_view text) {
    reported.emplace_back(stream, std::string(text));
}

LoopbackServer::Reply answering(const std::string& body) {
    return {{httpAnswer(200, body)}, {}};
}

std::string head(const std::string& request) {
    return request.substr(0, request.find("\r\n\r\n"));
}

class TempFile {
  public:
    TempFile(const std::string& name, const std::string& content)
        : path_(std::filesystem::temp_directory_path() / name) {
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~TempFile() {
        std::filesystem::remove(path_);
    }
    std::string path() const {
        return path_.string();
    }

  private:
    std::filesystem::path path_;
};
} // namespace

TEST(CallWebService, BothMapsEmptyWritesTheLongMessageAndConnectsNowhere) {
    LoopbackServer server(answering("unused"));
    const Outcome outcome = call(server.url("/"), {}, {});
    EXPECT_EQ(outcome.out, nothingToSend);
    EXPECT_EQ(outcome.out.size(), 151u);
    EXPECT_EQ(outcome.err, "");
    EXPECT_FALSE(outcome.isOk);
    EXPECT_EQ(outcome.retour, "as given");
    EXPECT_TRUE(server.requests().empty());
}

TEST(CallWebService, TextFieldsGoAsOneMultipartPostInNameOrderUnderTheUrlEncodedType) {
    LoopbackServer server(answering("received"));
    FieldMap texts;
    texts["zeta"] = "last";
    texts["message"] = R"({"page":"unIDdepage"})";
    texts["alpha"] = "first";
    const Outcome outcome = call(server.url("/ws/testMsg?x=1"), texts, {});

    EXPECT_TRUE(outcome.isOk);
    EXPECT_EQ(outcome.retour, "received");
    EXPECT_EQ(outcome.out + outcome.err, "");

    const std::string request = server.onlyRequest();
    EXPECT_THAT(request, StartsWith("POST /ws/testMsg?x=1 HTTP/1.1\r\n"));
    EXPECT_THAT(head(request),
                HasSubstr("\r\nContent-Type: application/x-www-form-urlencoded; boundary="));
    const std::size_t alpha = request.find("name=\"alpha\"\r\n\r\nfirst\r\n");
    const std::size_t message =
        request.find("name=\"message\"\r\n\r\n{\"page\":\"unIDdepage\"}\r\n");
    const std::size_t zeta = request.find("name=\"zeta\"\r\n\r\nlast\r\n");
    ASSERT_NE(alpha, std::string::npos) << request;
    ASSERT_NE(message, std::string::npos) << request;
    ASSERT_NE(zeta, std::string::npos) << request;
    EXPECT_LT(alpha, message);
    EXPECT_LT(message, zeta);
}

TEST(CallWebService, TextPartsPrecedeFilePartsWhichFollowInNameOrder) {
    LoopbackServer server(answering("files received"));
    const TempFile second("wsconsole-second.bin", std::string("second\0file", 11));
    const TempFile first("wsconsole-first.bin", std::string(5000, 'F'));
    FieldMap files;
    files["file2"] = second.path();
    files["file"] = first.path();
    const Outcome outcome = call(server.url("/img"), {{"note", "hello"}}, files);

    EXPECT_TRUE(outcome.isOk);
    EXPECT_EQ(outcome.retour, "files received");
    const std::string request = server.onlyRequest();
    EXPECT_THAT(head(request), HasSubstr("\r\nContent-Type: multipart/form-data; boundary="));
    const std::size_t note = request.find("name=\"note\"\r\n\r\nhello\r\n");
    const std::size_t file = request.find("name=\"file\"; filename=\"wsconsole-first.bin\"");
    const std::size_t file2 = request.find("name=\"file2\"; filename=\"wsconsole-second.bin\"");
    ASSERT_NE(note, std::string::npos);
    ASSERT_NE(file, std::string::npos);
    ASSERT_NE(file2, std::string::npos);
    EXPECT_LT(note, file);
    EXPECT_LT(file, file2);
    EXPECT_THAT(request.substr(file), HasSubstr("\r\n\r\n" + std::string(5000, 'F') + "\r\n"));
    EXPECT_THAT(request.substr(file2), HasSubstr(std::string("\r\n\r\nsecond\0file\r\n", 17)));
}

TEST(CallWebService, TransferFailuresGoToStandardErrorAndLeaveTheAnswerAsGiven) {
    {
        LoopbackServer server(answering("unused"));
        const Outcome outcome =
            call(server.url("/"), {}, {{"file", "/nonexistent/wsconsole.jpeg"}});
        EXPECT_FALSE(outcome.isOk);
        EXPECT_EQ(outcome.retour, "as given");
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, failedLine(CURLE_READ_ERROR));
    }
    {
        LoopbackServer server(answering("unused"));
        const std::string folder = std::filesystem::temp_directory_path().string();
        const Outcome outcome = call(server.url("/"), {}, {{"file", folder}});
        EXPECT_FALSE(outcome.isOk);
        EXPECT_EQ(outcome.retour, "as given");
        EXPECT_EQ(outcome.err, failedLine(CURLE_READ_ERROR));
        EXPECT_TRUE(server.requests().empty());
    }
    {
        const std::string refused = "http://127.0.0.1:" + std::to_string(unusedPort()) + "/";
        const Outcome outcome = call(refused, {{"message", "x"}}, {});
        EXPECT_FALSE(outcome.isOk);
        EXPECT_EQ(outcome.retour, "as given");
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, failedLine(CURLE_COULDNT_CONNECT));
    }
}

TEST(CallWebService, DeliversTheBodyAsTextWhateverTheStatus) {
    const std::string big = "start" + std::string(3000000, 'b') + "end";
    // Unannounced, the block grows as chunks arrive; announced, it is made whole at once.
    for (const auto& answer : {chunkedAnswer(big, 500), std::vector{httpAnswer(200, big)}}) {
        LoopbackServer server({answer, {}});
        const Outcome outcome = call(server.url("/"), {{"message", "x"}}, {});
        EXPECT_TRUE(outcome.isOk);
        EXPECT_TRUE(outcome.retour == big) << outcome.retour.size() << " bytes";
    }
    {
        LoopbackServer server(answering(""));
        const Outcome outcome = call(server.url("/"), {{"message", "x"}}, {});
        EXPECT_TRUE(outcome.isOk);
        EXPECT_EQ(outcome.retour, "as given");
    }
    {
        LoopbackServer server(answering(std::string("cut\0here", 8)));
        const Outcome outcome = call(server.url("/"), {{"message", "x"}}, {});
        EXPECT_TRUE(outcome.isOk);
        EXPECT_EQ(outcome.retour, "cut");
    }
    {
        LoopbackServer server({{httpAnswer(500, "server says 100% broken")}, {}});
        const Outcome outcome = call(server.url("/"), {{"message", "x"}}, {});
        EXPECT_TRUE(outcome.isOk);
        EXPECT_EQ(outcome.retour, "server says 100% broken");
        EXPECT_EQ(outcome.out + outcome.err, "");
    }
}

// A program that sets its own report function gets every message there, on the stream it is
// meant for, and nothing is written to standard output or error; nullptr brings the default back.
TEST(CallWebService, ReportsThroughTheFunctionTheProgramSets) {
    reported.clear();
    const ReportFunction before = setReportFunction(&recordReport);
    const std::string refused = "http://127.0.0.1:" + std::to_string(unusedPort()) + "/";
    const Outcome empty = call(refused, {}, {});
    const Outcome failed = call(refused, {{"message", "x"}}, {});
    EXPECT_EQ(setReportFunction(before), &recordReport);

    EXPECT_EQ(empty.out + empty.err + failed.out + failed.err, "");
    EXPECT_FALSE(failed.isOk);
    const std::vector<std::pair<ReportStream, std::string>> expected{
        {ReportStream::Output, nothingToSend},
        {ReportStream::Error, failedLine(CURLE_COULDNT_CONNECT)}};
    EXPECT_TRUE(reported == expected) << reported.size() << " messages";

    EXPECT_EQ(setReportFunction(nullptr), before);
    EXPECT_EQ(call(refused, {}, {}).out, nothingToSend);
}
