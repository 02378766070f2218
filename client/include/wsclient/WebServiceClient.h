#pragma once

#include <wsclient/FieldMap.h>
#include <wsclient/WebServiceReport.h>

#include <string>

// Sends one HTTP POST to `url` as a multipart form: the text fields of MsgMap first, then the
// files named by FileMap, each group in ascending name order. A request without files carries
// the header "Content-Type: application/x-www-form-urlencoded". isOk becomes true when the
// transfer completes (whatever the HTTP status); retourWebService then receives the body up to
// its first 0 byte if the body is not empty, and is otherwise left as given. Failures go to the
// report function (WebServiceReport.h), by default to stdout and stderr. Each call sets up and
// tears down libcurl completely (curl_global_init, curl_global_cleanup): calls from several
// threads may overlap only where libcurl's global set-up is thread-safe, that is when
// curl_version_info(CURLVERSION_NOW)->features has CURL_VERSION_THREADSAFE (libcurl 7.84 and
// later); with an older libcurl they must not.
void callWebService(std::string url, FieldMap MsgMap, FieldMap FileMap, bool& isOk,
                    std::string& retourWebService);

// Sends one HTTP POST of `postFields`, a body already url-encoded by the caller (name=value
// pairs joined by &), unchanged and up to its first 0 byte, with the header
// "Content-Type: application/x-www-form-urlencoded" and the user agent "libcurl-agent/1.0".
// Returns true when the transfer completed (whatever the HTTP status); `response` then holds the
// body up to its first 0 byte, and otherwise libcurl's text for the error. Reports nothing.
// Like callWebService, it sets up and tears down libcurl completely.
bool postUrlEncoded(std::string url, std::string postFields, std::string& response);
