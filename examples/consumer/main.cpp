// Calls the web service at the base URL given as the first argument (default
// http://localhost:18080) once with each of the library's functions and prints the answers.
#include <wsclient/WebServiceClient.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    const std::string base = argc > 1 ? argv[1] : "http://localhost:18080";
    const std::string url = base + "/Vortan/BackOffice/trunk/webservice/zunel/testMsg";

    FieldMap texts{{"message", R"({"page":"unIDdepage"})"}};
    bool isOk = false;
    std::string answer;
    callWebService(url, texts, FieldMap{}, isOk, answer);
    std::cout << "callWebService: " << (isOk ? "ok" : "failed") << "\n" << answer << std::flush;

    std::string response;
    const bool posted = postUrlEncoded(url, "name=Zunel&page=unIDdepage", response);
    // On failure the response is libcurl's text for the error, without a line end.
    std::cout << "postUrlEncoded: " << (posted ? "ok" : "failed") << "\n"
              << response << (posted ? "" : "\n") << std::flush;

    return isOk && posted ? 0 : 1;
}
