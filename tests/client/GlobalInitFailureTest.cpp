// libcurl's global set-up failing, which nothing else can make happen on purpose: this program
// puts its own curl_global_init in front of libcurl's (ELF symbol interposition, hence Linux
// only), which fails while a test asks for it and otherwise hands over to libcurl's.
#include <wsclient/WebServiceClient.h>

#include "LoopbackServer.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {
CURLcode forcedFailure = CURLE_OK;

// Makes the global set-up fail with `code` while it is alive.
class FailingGlobalInit {
  public:
    explicit FailingGlobalInit(CURLcode code) {
        forcedFailure = code;
    }
    ~FailingGlobalInit() {
        forcedFailure = CURLE_OK;
    }
    FailingGlobalInit(const FailingGlobalInit&) = delete;
    FailingGlobalInit& operator=(const FailingGlobalInit&) = delete;
};
} // namespace

extern "C" CURLcode curl_global_init(long flags) {
    if (forcedFailure != CURLE_OK) {
        return forcedFailure;
    }
    using GlobalInit = CURLcode (*)(long);
    static const auto libcurls =
        reinterpret_cast<GlobalInit>(::dlsym(RTLD_NEXT, "curl_global_init"));
    return libcurls != nullptr ? libcurls(flags) : CURLE_FAILED_INIT;
}

// The call fails as when no handle can be made: the same words, no connection, and afterwards
// libcurl's global state is as it was, so that the next call works.
TEST(GlobalInitFailure, IsReportedAsAHandleThatCannotBeMade) {
    LoopbackServer server({{httpAnswer(200, "after")}, {}});
    const std::string url = server.url("/");
    struct Row {
        FieldMap files;
        const char* out;
    };
    for (const Row& row : {Row{{}, "petit probleme lors de l'initialisation de curl..."},
                           Row{{{"file", "/nonexistent/wsconsole.jpeg"}},
                               "probleme pendant l'initialisation de curl"}}) {
        SCOPED_TRACE(row.out);
        bool isOk = true;
        std::string retour = "as given";
        CaptureStdout();
        CaptureStderr();
        {
            const FailingGlobalInit failing(CURLE_OUT_OF_MEMORY);
            callWebService(url, {{"message", "x"}}, row.files, isOk, retour);
        }
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_EQ(GetCapturedStdout(), row.out);
        EXPECT_FALSE(isOk);
        EXPECT_EQ(retour, "as given");
    }

    std::string response;
    {
        const FailingGlobalInit failing(CURLE_OUT_OF_MEMORY);
        EXPECT_FALSE(postUrlEncoded(url, "a=1", response));
    }
    EXPECT_EQ(response, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
    EXPECT_TRUE(server.requests().empty());

    EXPECT_TRUE(postUrlEncoded(url, "a=1", response));
    EXPECT_EQ(response, "after");
}
