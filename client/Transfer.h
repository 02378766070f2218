#pragma once

#include "ResponseBuffer.h"

#include <curl/curl.h>

// Performs the transfer set up on `handle`, collecting the response body into `body`.
inline CURLcode performCollecting(CURL* handle, ResponseBuffer& body) {
    // Every block of the body goes to the buffer instead of standard output.
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &storeResponseChunk);
    // The buffer that storeResponseChunk appends to.
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    return curl_easy_perform(handle);
}
