#include "CurlHolder.h"

#include <cstdint>

CurlHolder::CurlHolder() : initResult_(curl_global_init(CURL_GLOBAL_ALL)) {
    // Without the global state no handle is made: curl_easy_init would set up a global state of
    // its own that no cleanup matches.
    if (initResult_ == CURLE_OK) {
        handle_ = curl_easy_init();
    }
}

CurlHolder::~CurlHolder() {
    curl_easy_cleanup(handle_);
    // Only a set-up that succeeded counts for libcurl, and may be matched by a cleanup.
    if (initResult_ == CURLE_OK) {
        curl_global_cleanup();
    }
    curl_formfree(formpost_);
    curl_slist_free_all(headers_);
}

bool CurlHolder::addText(const char* name, const char* content) {
    // libcurl copies the name and the content.
    return curl_formadd(&formpost_, &lastptr_, CURLFORM_COPYNAME, name, CURLFORM_COPYCONTENTS,
                        content, CURLFORM_END) == CURL_FORMADD_OK;
}

bool CurlHolder::addFile(const char* name, const char* path) {
    // libcurl opens and reads the file only while the request is sent.
    return curl_formadd(&formpost_, &lastptr_, CURLFORM_COPYNAME, name, CURLFORM_FILE, path,
                        CURLFORM_END) == CURL_FORMADD_OK;
}

bool CurlHolder::addHeader(const char* line) {
    // On failure libcurl keeps the old list, which stays owned here.
    curl_slist* grown = curl_slist_append(headers_, line);
    if (grown == nullptr) {
        return false;
    }
    headers_ = grown;
    return true;
}

std::size_t CurlHolder::readHeadLine(char* line, std::size_t itemSize, std::size_t itemCount,
                                     void* holder) {
    // A head may announce any length: past this, the block grows as the answer arrives, so that
    // a server that lies cannot make the client ask for an absurd block before sending anything.
    constexpr std::uint64_t largestAnnounced = std::uint64_t{1} << 32;
    const std::size_t n = itemSize * itemCount;
    const bool headEnds =
        (n == 2 && line[0] == '\r' && line[1] == '\n') || (n == 1 && line[0] == '\n');
    auto& self = *static_cast<CurlHolder*>(holder);
    curl_off_t length = -1;
    if (headEnds &&
        curl_easy_getinfo(self.handle_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length > 0 && static_cast<std::uint64_t>(length) <= largestAnnounced &&
        static_cast<std::uint64_t>(length) < SIZE_MAX) {
        self.body_.expect(static_cast<std::size_t>(length));
    }
    return n;
}

CURLcode CurlHolder::perform() {
    // An answer whose length the head announces gets its whole block at once, instead of
    // growing there by copies; this only reads the head, which goes nowhere else.
    curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, &CurlHolder::readHeadLine);
    // The holder whose buffer readHeadLine prepares.
    curl_easy_setopt(handle_, CURLOPT_HEADERDATA, this);
    // Every block of the body goes to the buffer instead of standard output.
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &storeResponseChunk);
    // The buffer that storeResponseChunk appends to.
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &body_);
    return curl_easy_perform(handle_);
}
