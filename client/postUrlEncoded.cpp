#include "WebServiceClient.h"

#include "CurlResources.h"
#include "ResponseBuffer.h"
#include "Transfer.h"

#include <string>

bool postUrlEncoded(std::string url, std::string postFields, std::string& response) {
    response.clear();
    HeaderList headers;
    ResponseBuffer chunk;
    CurlGlobal global;
    EasyHandle handle(curl_easy_init());

    CURLcode result = CURLE_FAILED_INIT;
    if (handle && !headers.append(formContentType)) {
        result = CURLE_OUT_OF_MEMORY;
    } else if (handle) {
        // The endpoint, used exactly as given.
        curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
        // Declares the body as url-encoded form data.
        curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headers.get());
        // The caller's body, sent unchanged and not copied: postFields outlives the transfer.
        curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDS, postFields.c_str());
        // Names this client to the web service.
        curl_easy_setopt(handle.get(), CURLOPT_USERAGENT, "libcurl-agent/1.0");
        result = performCollecting(handle.get(), chunk);
    }

    if (result == CURLE_OK && chunk.size > 0 && !takeBody(chunk, response)) {
        result = CURLE_OUT_OF_MEMORY;
    }
    if (result != CURLE_OK) {
        response = curl_easy_strerror(result);
        return false;
    }
    return true;
}
