#include <wsclient/WebServiceClient.h>

#include "CurlHolder.h"

#include <string>

// NOLINTNEXTLINE(performance-unnecessary-value-param): the published signature callers build on
bool postUrlEncoded(std::string url, std::string postFields, std::string& response) {
    response.clear();
    CurlHolder curl;

    CURLcode result = curl.missingHandleCause();
    if (curl.handle() != nullptr && !curl.addHeader(formContentType)) {
        result = CURLE_OUT_OF_MEMORY;
    } else if (curl.handle() != nullptr) {
        // libcurl copies the URL, and the caller's text stays unchanged, however odd it is.
        curl_easy_setopt(curl.handle(), CURLOPT_URL, url.c_str());
        // Declares the body as url-encoded form data.
        curl_easy_setopt(curl.handle(), CURLOPT_HTTPHEADER, curl.headers());
        // The caller's body, sent unchanged and not copied: postFields outlives the transfer.
        curl_easy_setopt(curl.handle(), CURLOPT_POSTFIELDS, postFields.c_str());
        // Names this client to the web service.
        curl_easy_setopt(curl.handle(), CURLOPT_USERAGENT, "libcurl-agent/1.0");
        result = curl.perform();
    }

    if (result != CURLE_OK) {
        response = curl_easy_strerror(result);
        return false;
    }
    if (curl.body().size > 0) {
        response = curl.body().takeText();
    }
    return true;
}
