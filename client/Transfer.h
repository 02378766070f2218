#pragma once

#include "ResponseBuffer.h"

#include <curl/curl.h>

#include <new>
#include <string>

// The header line of the requests whose body the web service may read as url-encoded form data.
constexpr const char* formContentType = "Content-Type: application/x-www-form-urlencoded";

// Performs the transfer set up on `handle`, collecting the response body into `body`.
inline CURLcode performCollecting(CURL* handle, ResponseBuffer& body) {
    // Every block of the body goes to the buffer instead of standard output.
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &storeResponseChunk);
    // The buffer that storeResponseChunk appends to.
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    return curl_easy_perform(handle);
}

// Hands the collected body over as text, up to its first 0 byte. False, `text` unchanged, when
// there is no memory for it: the answer is then lost, and the call must not report success.
inline bool takeBody(ResponseBuffer& body, std::string& text) noexcept {
    try {
        text = body.takeText();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
