// Stands in front of the libcurl calls (and the calloc) that the plug-in
// loaded into this process makes: this executable's definitions come first in
// the global symbol scope, so the plug-in's calls land here, as they would in
// an LD_PRELOAD library. Only calls made from the plug-in's own code are
// counted and failed; libcurl calls some of these functions itself.
#include "curl_interposer.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {
// One failure to inject: the n-th counted event from arming fails.
struct FailPoint {
    std::atomic<long> count{0}, at{0};
    std::atomic<bool> reached{false};
    void arm(long n) {
        count = 0;
        reached = false;
        at = n;
    }
    bool hit() {
        if (++count != at) return false;
        reached = true;
        return true;
    }
};
FailPoint call_failure, alloc_failure;
std::atomic<int> live_handles{0}, live_strings{0};
std::atomic<std::uintptr_t> plugin_begin{0}, plugin_end{0};

// The plug-in's address range, found once among the loaded objects.
void find_plugin() {
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *) {
            if (!info->dlpi_name || !std::strstr(info->dlpi_name, "auth_plugin")) return 0;
            std::uintptr_t lo = UINTPTR_MAX, hi = 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const auto &ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD) continue;
                lo = std::min<std::uintptr_t>(lo, info->dlpi_addr + ph.p_vaddr);
                hi = std::max<std::uintptr_t>(hi, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
            }
            plugin_begin = lo;
            plugin_end = hi;
            return 1;
        },
        nullptr);
}

bool from_plugin(void *caller) {
    auto a = reinterpret_cast<std::uintptr_t>(caller);
    return a >= plugin_begin && a < plugin_end;
}

// Counts a call from the plug-in; true if this one is to fail.
bool fails_now(void *caller) { return from_plugin(caller) && call_failure.hit(); }

template <typename F>
F real(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// libcurl's allocator hooks
std::atomic<long> alloc_live{0};
bool alloc_fails_now() { return alloc_failure.hit(); }
void *count(void *p) {
    if (p) ++alloc_live;
    return p;
}
void *t_malloc(size_t n) { return alloc_fails_now() ? nullptr : count(std::malloc(n)); }
void t_free(void *p) {
    if (p) --alloc_live;
    std::free(p);
}
void *t_realloc(void *p, size_t n) {
    if (alloc_fails_now()) return nullptr;
    void *q = std::realloc(p, n);
    if (!p && q) ++alloc_live;
    return q;
}
char *t_strdup(const char *s) { return alloc_fails_now() ? nullptr : static_cast<char *>(count(strdup(s))); }
void *t_calloc(size_t a, size_t b) { return alloc_fails_now() ? nullptr : count(std::calloc(a, b)); }
}  // namespace

void interposer_fail_call(int n) {
    if (!plugin_end) find_plugin();
    call_failure.arm(n);
}
bool interposer_failed() { return call_failure.reached; }
int interposer_live_handles() { return live_handles; }
int interposer_live_strings() { return live_strings; }

void counting_allocator_install() { curl_global_init_mem(CURL_GLOBAL_DEFAULT, t_malloc, t_free, t_realloc, t_strdup, t_calloc); }
void counting_allocator_fail(long n) { alloc_failure.arm(n); }
bool counting_allocator_failed() { return alloc_failure.reached; }
long counting_allocator_live() { return alloc_live; }

extern "C" {
CURL *curl_easy_init(void) {
    bool ours = from_plugin(__builtin_return_address(0));
    if (fails_now(__builtin_return_address(0))) return nullptr;
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
    if (fails_now(__builtin_return_address(0))) return nullptr;
    char *out = real<char *(*)(CURL *, const char *, int)>("curl_easy_escape")(h, s, len);
    if (ours && out) ++live_strings;
    return out;
}
// The URL parser's strings are freed with curl_free too.
CURLUcode curl_url_get(CURLU *u, CURLUPart what, char **part, unsigned int flags) {
    CURLUcode rc = real<CURLUcode (*)(CURLU *, CURLUPart, char **, unsigned int)>("curl_url_get")(u, what, part, flags);
    if (rc == CURLUE_OK && *part && from_plugin(__builtin_return_address(0))) ++live_strings;
    return rc;
}
void curl_free(void *p) {
    if (p && from_plugin(__builtin_return_address(0))) --live_strings;
    real<void (*)(void *)>("curl_free")(p);
}
// Every option the plug-in sets takes a long or a pointer, both passed in one
// integer register on this platform, so one pointer-sized argument forwards it.
CURLcode curl_easy_setopt(CURL *h, CURLoption option, ...) {
    va_list ap;
    va_start(ap, option);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fails_now(__builtin_return_address(0))) return CURLE_OUT_OF_MEMORY;
    return real<CURLcode (*)(CURL *, CURLoption, ...)>("curl_easy_setopt")(h, option, arg);
}
CURLcode curl_easy_perform(CURL *h) {
    if (fails_now(__builtin_return_address(0))) return CURLE_OUT_OF_MEMORY;
    return real<CURLcode (*)(CURL *)>("curl_easy_perform")(h);
}
CURLcode curl_easy_getinfo(CURL *h, CURLINFO info, ...) {
    va_list ap;
    va_start(ap, info);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fails_now(__builtin_return_address(0))) return CURLE_BAD_FUNCTION_ARGUMENT;
    return real<CURLcode (*)(CURL *, CURLINFO, ...)>("curl_easy_getinfo")(h, info, arg);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The plug-in's own allocation of the body. (Under a sanitizer, calloc
// belongs to the sanitizer and is left alone.)
extern void *__libc_calloc(size_t, size_t);
void *calloc(size_t n, size_t size) {
    if (fails_now(__builtin_return_address(0))) return nullptr;
    return __libc_calloc(n, size);
}
#endif
}
