#pragma once

#include "ResponseBuffer.h"

#include <curl/curl.h>

// The header line of the requests whose body the web service may read as url-encoded form data.
inline constexpr const char* formContentType = "Content-Type: application/x-www-form-urlencoded";

// Everything one call borrows from libcurl: the global state, the easy handle, the multipart form
// and the header list, with the buffer that the answer arrives in. The call creates one at its
// start; whichever way the call ends, the destructor releases them in one fixed order: the
// handle, the global state, the form, the header list, and last the answer's block.
class CurlHolder {
  public:
    CurlHolder();
    ~CurlHolder();
    CurlHolder(const CurlHolder&) = delete;
    CurlHolder& operator=(const CurlHolder&) = delete;

    // nullptr when libcurl's global set-up failed or curl_easy_init could not create a handle.
    CURL* handle() const {
        return handle_;
    }
    // Why there is no handle: the error of the global set-up, or CURLE_FAILED_INIT.
    CURLcode missingHandleCause() const {
        return initResult_ != CURLE_OK ? initResult_ : CURLE_FAILED_INIT;
    }

    // Each returns false when libcurl could not add the part or line (out of memory); what was
    // added before stays in place.
    bool addText(const char* name, const char* content);
    bool addFile(const char* name, const char* path);
    bool addHeader(const char* line);

    curl_httppost* form() const {
        return formpost_;
    }
    curl_slist* headers() const {
        return headers_;
    }

    // Performs the transfer set up on the handle, collecting the response body into body().
    CURLcode perform();
    ResponseBuffer& body() {
        return body_;
    }

  private:
    static std::size_t readHeadLine(char* line, std::size_t itemSize, std::size_t itemCount,
                                    void* holder);

    CURLcode initResult_;
    CURL* handle_ = nullptr;
    curl_httppost* formpost_ = nullptr;
    curl_httppost* lastptr_ = nullptr;
    curl_slist* headers_ = nullptr;
    // The one member with a destructor of its own: it runs after the destructor's body, once
    // libcurl has let go of everything else.
    ResponseBuffer body_;
};
