#pragma once

#include "FieldMap.h"

#include <string>

// Sends one HTTP POST to `url` as a multipart form: the text fields of MsgMap first, then the
// files named by FileMap, each group in ascending name order. A request without files carries
// the header "Content-Type: application/x-www-form-urlencoded". isOk becomes true when the
// transfer completes (whatever the HTTP status); retourWebService then receives the body up to
// its first 0 byte if the body is not empty, and is otherwise left as given. Failures are
// reported on the console. Each call sets up and tears down libcurl completely, so calls must
// not overlap.
void callWebService(std::string url, FieldMap MsgMap, FieldMap FileMap, bool& isOk,
                    std::string& retourWebService);
