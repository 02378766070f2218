#include <wsclient/WebServiceClient.h>

#include "CurlHolder.h"
#include "Report.h"

#include <string>

#include <sys/stat.h>

namespace {
constexpr const char* nothingToSend =
    "aucun fichier pass\xc3\xa9 et map etre vide..., toi te foutre de la geule du stagiaire "
    "malefique??? pas bonne idee ca etre, moi mettre mauvais oeil sur toi !";
constexpr const char* noHandleForText = "petit probleme lors de l'initialisation de curl...";
constexpr const char* noHandleForFiles = "probleme pendant l'initialisation de curl";

void reportTransferFailure(CURLcode code) {
    report(ReportStream::Error,
           std::string("curl_easy_perform() failed: ") + curl_easy_strerror(code) + "\n");
}

// libcurl opens a folder as it opens a file, reads no bytes from it and sends an empty part under
// its name: the call would succeed without the file. A folder is refused as an unreadable file.
bool namesAFolder(const FieldMap& files) {
    for (const auto& element : files) {
        struct stat status = {};
        if (::stat(element.second.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            return true;
        }
    }
    return false;
}
} // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param): the published signature callers build on
void callWebService(std::string url, FieldMap MsgMap, FieldMap FileMap, bool& isOk,
                    std::string& retourWebService) {
    isOk = false;
    CurlHolder curl;

    const bool withFiles = !FileMap.empty();
    if (!withFiles && MsgMap.empty()) {
        report(ReportStream::Output, nothingToSend);
        return;
    }

    // A part that cannot be added (out of memory) must not silently go missing from the
    // request, so the form is only sent when every part is in it.
    bool formComplete = true;
    for (const auto& element : MsgMap) {
        formComplete = curl.addText(element.first.c_str(), element.second.c_str()) && formComplete;
    }
    for (const auto& element : FileMap) {
        formComplete = curl.addFile(element.first.c_str(), element.second.c_str()) && formComplete;
    }
    if (!withFiles) {
        formComplete = curl.addHeader(formContentType) && formComplete;
    }
    if (curl.handle() == nullptr) {
        report(ReportStream::Output, withFiles ? noHandleForFiles : noHandleForText);
        return;
    }
    if (!formComplete) {
        reportTransferFailure(CURLE_OUT_OF_MEMORY);
        return;
    }
    if (namesAFolder(FileMap)) {
        reportTransferFailure(CURLE_READ_ERROR);
        return;
    }

    if (!withFiles) {
        // The web service may read this request's raw body, which some platforms offer only
        // for non-multipart types; libcurl adds the boundary to this value on the wire.
        curl_easy_setopt(curl.handle(), CURLOPT_HTTPHEADER, curl.headers());
    }
    // libcurl copies the URL, and the caller's text stays unchanged, however odd it is.
    curl_easy_setopt(curl.handle(), CURLOPT_URL, url.c_str());
    // Sends the form as a multipart POST body.
    curl_easy_setopt(curl.handle(), CURLOPT_HTTPPOST, curl.form());

    const CURLcode result = curl.perform();
    if (result != CURLE_OK) {
        reportTransferFailure(result);
        return;
    }
    if (curl.body().size > 0) {
        retourWebService = curl.body().takeText();
    }
    isOk = true;
}
