// libFuzzer target for what is built from or read out of untrusted bytes. The
// sources are compiled in, so nothing more needs exporting.
//
// The form body: the input is split at NUL bytes into up to four values (the
// broker's strings cannot hold NUL). Both field lists are built from them,
// and each body must decode back to exactly those fields, in that order, with
// exactly the expected separators and only unreserved characters or %XX escapes.
//
// The response headers: the same input, cut into lines after each LF, is fed
// to the header reader as libcurl would (the endpoint's bytes); whether the
// header block ended and what Cache-Control allows must follow the last lines,
// and each bound or prohibition must come from its directive in them; JSON
// from the last Content-Type line.
//
// The templates' escaping: each value, written into a URL, a JSON string and
// a header, must read back as itself (percent-decoded, JSON-parsed), or be
// refused exactly when it cannot be written there (not UTF-8 for JSON, a
// control character for a header).
#include "../../src/answer.cpp"
#include "../../src/http_client.cpp"
#include "../../src/request_template.cpp"

#include <cstdint>
#include <string>
#include <vector>

namespace {

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // lower case is not what libcurl writes
}
bool unreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

template <std::size_t N>
void check(const std::array<Field, N> &fields) {
    std::size_t length = 0;
    Buffer body = form_body(fields.data(), N, length);
    if (!body) __builtin_trap();
    const std::string text(body.get());
    if (text.size() != length) __builtin_trap();

    std::size_t at = 0;
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0 && text[at++] != '&') __builtin_trap();
        const std::string name = fields[i].name;
        if (text.compare(at, name.size() + 1, name + "=") != 0) __builtin_trap();
        at += name.size() + 1;
        std::string decoded;
        while (at < text.size() && text[at] != '&') {
            char c = text[at];
            if (c == '%') {
                if (at + 2 >= text.size()) __builtin_trap();
                int hi = hex(text[at + 1]), lo = hex(text[at + 2]);
                if (hi < 0 || lo < 0) __builtin_trap();
                decoded += static_cast<char>(hi * 16 + lo);
                at += 3;
            } else {
                if (!unreserved(c)) __builtin_trap();
                decoded += c;
                ++at;
            }
        }
        if (decoded != fields[i].value) __builtin_trap();
    }
    if (at != text.size()) __builtin_trap();
}

std::string percent_decoded(const std::string &text) {
    std::string decoded;
    for (std::size_t at = 0; at < text.size();) {
        if (text[at] == '%') {
            if (at + 2 >= text.size()) __builtin_trap();
            const int hi = hex(text[at + 1]), lo = hex(text[at + 2]);
            if (hi < 0 || lo < 0) __builtin_trap();
            decoded += static_cast<char>(hi * 16 + lo);
            at += 3;
        } else {
            if (!unreserved(text[at])) __builtin_trap();
            decoded += text[at++];
        }
    }
    return decoded;
}

void check_escaping(const std::string &value) {
    std::string out;
    if (!append_escaped(out, value, Escape::percent) || percent_decoded(out) != value) __builtin_trap();

    out.clear();
    bool utf8 = true;
    try {
        (void)nlohmann::json(value).dump();  // throws for text that is not UTF-8
    } catch (const nlohmann::json::type_error &) {
        utf8 = false;
    }
    if (append_escaped(out, value, Escape::json) != utf8) __builtin_trap();
    if (utf8) {
        for (char c : out)
            if (static_cast<unsigned char>(c) < 0x20) __builtin_trap();
        if (nlohmann::json::parse("\"" + out + "\"").get<std::string>() != value) __builtin_trap();
    }

    out.clear();
    bool control = false;
    for (char c : value) control = control || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    if (append_escaped(out, value, Escape::header) == control) __builtin_trap();
    if (!control && out != value) __builtin_trap();
}

void check_headers(const uint8_t *data, size_t size) {
    Answer a;
    const char *text = reinterpret_cast<const char *>(data);
    bool ended = false;
    std::string cache_control;  // the latest block's Cache-Control lines, in lower case
    std::string content_type;   // the latest block's last Content-Type line, in lower case
    for (size_t at = 0; at < size;) {
        const uint8_t *lf = static_cast<const uint8_t *>(std::memchr(data + at, '\n', size - at));
        const size_t n = lf ? static_cast<size_t>(lf - data) - at + 1 : size - at;
        const std::string line(text + at, n);
        read_header_line(a, text + at, n);
        std::string lower = line;
        for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (line.rfind("HTTP/", 0) == 0) ended = false, cache_control.clear(), content_type.clear();
        else if (line == "\r\n" || line == "\n") ended = true;
        else if (lower.rfind("cache-control:", 0) == 0) cache_control += lower + "\n";
        else if (lower.rfind("content-type:", 0) == 0) content_type = lower;
        at += n;
    }
    if (a.headers_ended != ended) __builtin_trap();
    // Each bound is either not given or a number of seconds, capped; max-age
    // is positive (zero keeps nothing).
    if (a.max_age_s != -1 && (a.max_age_s < 1 || a.max_age_s >= 1000000000)) __builtin_trap();
    if (a.stale_if_error_s != -1 && (a.stale_if_error_s < 0 || a.stale_if_error_s >= 1000000000)) __builtin_trap();
    // Only Cache-Control lines of the latest block (after a 1xx, say) count,
    // and each field only from its own directive.
    auto said = [&](const char *directive) { return cache_control.find(directive) != std::string::npos; };
    if (a.reuse_forbidden && !said("no-store") && !said("no-cache") && !said("max-age=") && !said("stale-if-error="))
        __builtin_trap();
    if (a.max_age_s != -1 && !said("max-age=")) __builtin_trap();
    if (a.stale_if_error_s != -1 && !said("stale-if-error=")) __builtin_trap();
    if (a.stale_forbidden && !said("must-revalidate") && !said("proxy-revalidate")) __builtin_trap();
    // JSON only from the last Content-Type line naming it; the plain form always is.
    if (a.json && content_type.find("application/json") == std::string::npos) __builtin_trap();
    if (content_type == "content-type: application/json\r\n" && !a.json) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> values(4);
    std::size_t v = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            if (++v == values.size()) break;
        } else {
            values[v] += static_cast<char>(data[i]);
        }
    }
    check(std::array<Field, 2>{{{"username", values[0].c_str()}, {"password", values[1].c_str()}}});
    check(std::array<Field, 4>{{{"clientid", values[0].c_str()},
                                      {"username", values[1].c_str()},
                                      {"topic", values[2].c_str()},
                                      {"access", values[3].c_str()}}});
    check_headers(data, size);
    for (const auto &value : values) check_escaping(value);
    return 0;
}
