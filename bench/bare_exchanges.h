// The yardstick for a storm's exchanges: bare libcurl making the same
// requests to the same endpoint, as a plain program of its own would, through
// the multi interface with the plug-in's ceiling of exchanges at once (256),
// each easy handle set up once and reused, connections kept or closed after
// each exchange as http_keepalive says. What it costs is libcurl's and the
// kernel's own: the plug-in's CPU per login is judged against it.
#pragma once

#include <curl/curl.h>
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <vector>

namespace bench {

struct BareRun {
    long answered = 0;  // with status 200
    double all_ms = 0;
    double cpu_us = 0;  // this thread's, user and system
};

inline double thread_cpu_us() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return 1e6 * static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// n POSTs of "username=uI&password=pw" to url, at most at_once running.
inline BareRun bare_exchanges(const std::string &url, int n, long at_once, bool keepalive) {
    using Clock = std::chrono::steady_clock;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURLM *multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, at_once);
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, at_once);
    const auto discard = +[](char *, size_t size, size_t nmemb, void *) { return size * nmemb; };
    std::vector<std::string> bodies(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) bodies[static_cast<std::size_t>(i)] = "username=u" + std::to_string(i) + "&password=pw";
    std::vector<CURL *> handles;
    for (long i = 0; i < at_once && i < n; ++i) {
        CURL *h = curl_easy_init();
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 5000L);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
        if (!keepalive) curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
        handles.push_back(h);
    }
    BareRun run;
    int next = 0;
    const auto start_one = [&](CURL *h) {
        const std::string &body = bodies[static_cast<std::size_t>(next++)];
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_multi_add_handle(multi, h);
    };
    const double cpu_before = thread_cpu_us();
    const auto began = Clock::now();
    for (CURL *h : handles) start_one(h);
    for (int done = 0; done < n;) {
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        bool finished = false;
        while (CURLMsg *m = curl_multi_info_read(multi, &left)) {
            if (m->msg != CURLMSG_DONE) continue;
            long status = 0;
            curl_easy_getinfo(m->easy_handle, CURLINFO_RESPONSE_CODE, &status);
            run.answered += m->data.result == CURLE_OK && status == 200;
            ++done;
            finished = true;
            curl_multi_remove_handle(multi, m->easy_handle);
            if (next < n) start_one(m->easy_handle);
        }
        if (!finished) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    run.all_ms = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
    run.cpu_us = thread_cpu_us() - cpu_before;
    for (CURL *h : handles) curl_easy_cleanup(h);
    curl_multi_cleanup(multi);
    return run;
}

}  // namespace bench
