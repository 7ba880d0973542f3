#pragma once

#include <curl/curl.h>
#include <string>

namespace nimo::http {

// The libcurl functions the layer calls, taken from the shared library when the first request needs
// them (on the session's worker), so a client that has sent nothing yet has not mapped libcurl nor
// the TLS, Kerberos, LDAP and SSH libraries that come with it. Types and constants come from the
// headers; nothing links against the library. The variadic setopt and getinfo are the library's own
// functions, called through their pointers as they would be directly.
struct CurlLibrary {
    // The library's file name as the dynamic loader looks it up.
    static constexpr const char* kDefaultName = "libcurl.so.4";

    // The library by file name, opened and initialised (curl_global_init) once per name for the
    // process and never unloaded. Null, with the reason in *why, when it cannot be opened, lacks a
    // function, is older than the layer needs or fails to initialise. Any thread.
    static const CurlLibrary* load(const std::string& name, std::string* why);

    CURL* (*easyInit)();
    void (*easyCleanup)(CURL*);
    CURLcode (*easySetopt)(CURL*, CURLoption, ...);
    CURLcode (*easyGetinfo)(CURL*, CURLINFO, ...);
    const char* (*easyStrerror)(CURLcode);
    CURLM* (*multiInit)();
    CURLMcode (*multiCleanup)(CURLM*);
    CURLMcode (*multiAddHandle)(CURLM*, CURL*);
    CURLMcode (*multiRemoveHandle)(CURLM*, CURL*);
    CURLMcode (*multiPerform)(CURLM*, int*);
    CURLMsg* (*multiInfoRead)(CURLM*, int*);
    CURLMcode (*multiPoll)(CURLM*, curl_waitfd[], unsigned int, int, int*);
    CURLMcode (*multiTimeout)(CURLM*, long*);
    curl_slist* (*slistAppend)(curl_slist*, const char*);
    void (*slistFreeAll)(curl_slist*);
    CURLU* (*url)();
    void (*urlCleanup)(CURLU*);
    CURLUcode (*urlSet)(CURLU*, CURLUPart, const char*, unsigned int);
    CURLUcode (*urlGet)(const CURLU*, CURLUPart, char**, unsigned int);
    void (*freeText)(void*); // curl_free, for what urlGet hands out
};

} // namespace nimo::http
