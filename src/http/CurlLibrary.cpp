#include "http/CurlLibrary.h"

#include <dlfcn.h>
#include <map>
#include <memory>
#include <mutex>

namespace nimo::http {

namespace {
// CURLOPT_PROTOCOLS_STR, which keeps a transfer and its redirects on http and https, came with 7.85.
constexpr unsigned kOldestVersion = 0x075500;

struct Loaded {
    std::unique_ptr<CurlLibrary> library;
    std::string why;
};

template <class Function> void resolve(void* handle, const char* name, Function& slot, std::string* missing) {
    void* symbol = ::dlsym(handle, name);
    if (!symbol && missing->empty())
        *missing = name;
    slot = reinterpret_cast<Function>(symbol);
}

Loaded open(const std::string& name) {
    Loaded out;
    void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = ::dlerror();
        out.why = error ? error : "cannot open " + name;
        return out;
    }
    auto library = std::make_unique<CurlLibrary>();
    CurlLibrary& l = *library;
    curl_version_info_data* (*versionInfo)(CURLversion) = nullptr;
    CURLcode (*globalInit)(long) = nullptr;
    std::string missing;
    resolve(handle, "curl_version_info", versionInfo, &missing);
    resolve(handle, "curl_global_init", globalInit, &missing);
    resolve(handle, "curl_easy_init", l.easyInit, &missing);
    resolve(handle, "curl_easy_cleanup", l.easyCleanup, &missing);
    resolve(handle, "curl_easy_setopt", l.easySetopt, &missing);
    resolve(handle, "curl_easy_getinfo", l.easyGetinfo, &missing);
    resolve(handle, "curl_easy_strerror", l.easyStrerror, &missing);
    resolve(handle, "curl_multi_init", l.multiInit, &missing);
    resolve(handle, "curl_multi_cleanup", l.multiCleanup, &missing);
    resolve(handle, "curl_multi_add_handle", l.multiAddHandle, &missing);
    resolve(handle, "curl_multi_remove_handle", l.multiRemoveHandle, &missing);
    resolve(handle, "curl_multi_perform", l.multiPerform, &missing);
    resolve(handle, "curl_multi_info_read", l.multiInfoRead, &missing);
    resolve(handle, "curl_multi_poll", l.multiPoll, &missing);
    resolve(handle, "curl_multi_timeout", l.multiTimeout, &missing);
    resolve(handle, "curl_slist_append", l.slistAppend, &missing);
    resolve(handle, "curl_slist_free_all", l.slistFreeAll, &missing);
    resolve(handle, "curl_url", l.url, &missing);
    resolve(handle, "curl_url_cleanup", l.urlCleanup, &missing);
    resolve(handle, "curl_url_set", l.urlSet, &missing);
    resolve(handle, "curl_url_get", l.urlGet, &missing);
    resolve(handle, "curl_free", l.freeText, &missing);
    if (!missing.empty()) {
        out.why = name + " has no " + missing;
        ::dlclose(handle);
        return out;
    }
    const curl_version_info_data* info = versionInfo(CURLVERSION_NOW);
    if (!info || info->version_num < kOldestVersion) {
        out.why = name + " is version " + (info && info->version ? info->version : "unknown") +
                  ", older than 7.85.0";
        ::dlclose(handle);
        return out;
    }
    if (const CURLcode code = globalInit(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
        out.why = name + " did not initialise (" + l.easyStrerror(code) + ")";
        return out;
    }
    out.library = std::move(library);
    return out;
}
} // namespace

const CurlLibrary* CurlLibrary::load(const std::string& name, std::string* why) {
    // Kept past the end of main: a session that outlives statics still cleans up its handles.
    static std::mutex& mutex = *new std::mutex;
    static auto& loaded = *new std::map<std::string, Loaded>;
    std::lock_guard lock(mutex);
    auto it = loaded.find(name);
    if (it == loaded.end())
        it = loaded.emplace(name, open(name)).first;
    if (!it->second.library && why)
        *why = it->second.why;
    return it->second.library.get();
}

} // namespace nimo::http
