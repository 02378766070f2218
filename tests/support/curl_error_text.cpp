// Prints libcurl's text for each CURLcode given, one a line, so that the end-to-end tests expect
// the texts of the libcurl the console links, whatever its version.
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::printf("%s\n", curl_easy_strerror(static_cast<CURLcode>(std::atoi(argv[i]))));
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
