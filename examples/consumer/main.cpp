// Calls the web service at the base URL given as the first argument (default
// http://localhost:18080) once with each of the library's functions and prints the answers.
// The library writes its own messages (a failed transfer, say) through C stdio, so they take
// their place among this program's lines without any flush here.
#include <wsclient/WebServiceClient.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    const std::string base = argc > 1 ? argv[1] : "http://localhost:18080";
    const std::string url = base + "/Vortan/BackOffice/trunk/webservice/zunel/testMsg";

    std::cout << "callWebService:\n";
    FieldMap texts{{"message", R"({"page":"unIDdepage"})"}};
    bool isOk = false;
    std::string answer;
    callWebService(url, texts, FieldMap{}, isOk, answer);
    std::cout << (isOk ? "ok" : "failed") << "\n" << answer;

    std::cout << "postUrlEncoded:\n";
    std::string response;
    const bool posted = postUrlEncoded(url, "name=Zunel&page=unIDdepage", response);
    // On failure the response is libcurl's text for the error, without a line end.
    std::cout << (posted ? "ok" : "failed") << "\n" << response << (posted ? "" : "\n");

    return isOk && posted ? 0 : 1;
}
