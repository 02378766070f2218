#pragma once

#include <curl/curl.h>

#include <memory>

// Small owners for what a call borrows from libcurl. Declared in the order
// header list, form, global state, handle, they are released in reverse: the handle, the global
// state, the form, then the header list, on every path out of the call.

// libcurl's global state for the duration of one call.
class CurlGlobal {
  public:
    CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
    ~CurlGlobal() { curl_global_cleanup(); }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
};

struct EasyHandleCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

// An easy handle; empty when curl_easy_init could not create one.
using EasyHandle = std::unique_ptr<CURL, EasyHandleCleanup>;

// A list of request header lines.
class HeaderList {
  public:
    HeaderList() = default;
    ~HeaderList() { curl_slist_free_all(head_); }
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;

    // On failure libcurl keeps the old list, which stays owned here.
    bool append(const char* line) {
        curl_slist* grown = curl_slist_append(head_, line);
        if (grown == nullptr) {
            return false;
        }
        head_ = grown;
        return true;
    }
    curl_slist* get() const { return head_; }

  private:
    curl_slist* head_ = nullptr;
};

// A multipart form built with libcurl's form API.
class FormList {
  public:
    FormList() = default;
    ~FormList() { curl_formfree(formpost); }
    FormList(const FormList&) = delete;
    FormList& operator=(const FormList&) = delete;

    // A text part; libcurl copies the name and the content.
    bool addText(const char* name, const char* content) {
        return curl_formadd(&formpost, &lastptr, CURLFORM_COPYNAME, name, CURLFORM_COPYCONTENTS,
                            content, CURLFORM_END) == CURL_FORMADD_OK;
    }
    // A file part; libcurl opens and reads the file only while the request is sent.
    bool addFile(const char* name, const char* path) {
        return curl_formadd(&formpost, &lastptr, CURLFORM_COPYNAME, name, CURLFORM_FILE, path,
                            CURLFORM_END) == CURL_FORMADD_OK;
    }
    curl_httppost* get() const { return formpost; }

  private:
    curl_httppost* formpost = nullptr;
    curl_httppost* lastptr = nullptr;
};
