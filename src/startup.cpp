#include "startup.h"

#include <curl/curl.h>

#include <new>
#include <system_error>

#include "log.h"

CurlGlobal::CurlGlobal() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw Unavailable{};
}
CurlGlobal::~CurlGlobal() { curl_global_cleanup(); }

namespace {

// Naming the cause must not fail in turn: an empty line means no memory.
void name(std::string &error, const char *cause, const char *detail = "") noexcept {
    try {
        error = std::string("auth_plugin: ") + cause + detail;
    } catch (...) {
        error.clear();
    }
}

}  // namespace

bool start_up(const auth_option *opts, int count, Interface which, const std::function<void(Settings)> &build,
              const std::function<std::vector<std::string>()> &describe, StartUp &out) noexcept {
    try {
        Settings settings;
        if (!read_settings(opts, count, settings, out.error, which)) return false;
        out.lines = describe_settings(settings, which);
        build(std::move(settings));
        if (describe)
            for (auto &line : describe()) out.lines.push_back(std::move(line));
        return true;
    } catch (const CurlGlobal::Unavailable &) {
        name(out.error, "libcurl could not be initialised");
    } catch (const std::bad_alloc &) {
        name(out.error, "out of memory while starting");
    } catch (const std::system_error &e) {
        name(out.error, "could not start a thread: ", e.what());
    } catch (const std::exception &e) {
        name(out.error, "could not start: ", e.what());
    } catch (...) {
        name(out.error, "could not start");
    }
    out.lines.clear();  // nothing started to describe
    return false;
}

void log_start_up_error(const std::string &error) noexcept {
    log_line(LogLevel::error, error.empty() ? "auth_plugin: out of memory while starting" : error.c_str());
}

void log_start_up(const std::vector<std::string> &lines) noexcept {
    for (std::size_t i = 0; i < lines.size(); ++i)
        log_line(i == 0 ? LogLevel::notice : LogLevel::warning, lines[i]);
}

void log_reload(const std::vector<std::string> &lines) noexcept {
    log_start_up(lines);
    log_line(LogLevel::notice, "auth_plugin: reloaded: kept decisions are asked again; the plug-in's own options "
                               "apply at a restart (the broker does not hand them over at a reload)");
}
