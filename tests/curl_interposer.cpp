// Stands in front of libcurl's handle and escape calls for the plug-in loaded
// into this process: this executable's definitions come first in the global
// symbol scope, so the plug-in's calls land here. It can make one of them fail
// and counts what was handed out but not yet given back.
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstring>

#include "curl_interposer.h"

namespace {
int fail_init = 0;       // non-zero: the next curl_easy_init calls return null
int fail_escape_at = 0;  // which curl_easy_escape call (1-based) fails; 0 none
int escape_calls = 0;
int live_handles = 0;
int live_strings = 0;

// libcurl calls some of these itself (an internal handle per transfer); only
// the plug-in's own calls are counted and failed.
bool from_plugin(void *caller) {
    Dl_info info;
    return dladdr(caller, &info) && info.dli_fname && std::strstr(info.dli_fname, "auth_plugin");
}

template <typename F>
F real(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
}  // namespace

void interposer_arm(int fail_handle, int fail_escape) {
    fail_init = fail_handle;
    fail_escape_at = fail_escape;
    escape_calls = 0;
}
int interposer_live_handles() { return live_handles; }
int interposer_live_strings() { return live_strings; }

extern "C" {
CURL *curl_easy_init(void) {
    bool ours = from_plugin(__builtin_return_address(0));
    if (ours && fail_init) return nullptr;
    CURL *h = real<CURL *(*)()>("curl_easy_init")();
    if (ours && h) ++live_handles;
    return h;
}
void curl_easy_cleanup(CURL *h) {
    if (h && from_plugin(__builtin_return_address(0))) --live_handles;
    real<void (*)(CURL *)>("curl_easy_cleanup")(h);
}
char *curl_easy_escape(CURL *h, const char *s, int len) {
    bool ours = from_plugin(__builtin_return_address(0));
    if (ours && ++escape_calls == fail_escape_at) return nullptr;
    char *out = real<char *(*)(CURL *, const char *, int)>("curl_easy_escape")(h, s, len);
    if (ours && out) ++live_strings;
    return out;
}
void curl_free(void *p) {
    if (p && from_plugin(__builtin_return_address(0))) --live_strings;
    real<void (*)(void *)>("curl_free")(p);
}
}
