// libFuzzer target for the form body. The exchange's source is compiled in, so
// the internal builder is reached without exporting anything more.
//
// The input is split at NUL bytes into up to four values (the broker's
// strings cannot hold NUL). Both field lists are built from them, and each
// body must decode back to exactly those fields, in that order, with exactly
// the expected separators and only unreserved characters or %XX escapes.
#include "../../src/http_client.cpp"

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
    return 0;
}
