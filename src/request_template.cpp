#include "request_template.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace {

constexpr const char *names[placeholder_count] = {"clientid",   "username",         "password",   "peerhost",
                                                  "cert_subject", "cert_common_name", "proto_name", "action",
                                                  "topic",      "qos",              "retain"};

constexpr char hex_digits[] = "0123456789ABCDEF";

// The length of the UTF-8 sequence at s (at most n bytes), 0 when it is not one.
std::size_t utf8_length(const unsigned char *s, std::size_t n) {
    const unsigned char c = s[0];
    std::size_t len;
    unsigned int min;
    if (c < 0x80) return 1;
    if (c >= 0xc2 && c <= 0xdf) len = 2, min = 0x80;
    else if (c >= 0xe0 && c <= 0xef) len = 3, min = 0x800;
    else if (c >= 0xf0 && c <= 0xf4) len = 4, min = 0x10000;
    else return 0;
    if (n < len) return 0;
    unsigned int code = c & (0x3f >> (len - 1));
    for (std::size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xc0) != 0x80) return 0;
        code = (code << 6) | (s[i] & 0x3f);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return len;
}

// The URL's authority (scheme://host:port) ends where its path, query or
// fragment begins.
std::size_t authority_end(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return 0;
    const std::size_t end = url.find_first_of("/?#", scheme + 3);
    return end == std::string_view::npos ? url.size() : end;
}

// A filled header value as a server reads it: servers drop the blanks
// around a value (" victim" would become "victim"), and libcurl drops a
// header whose value is empty, so neither may come from a client.
bool whole_value(std::string_view value) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    return !value.empty() && !blank(value.front()) && !blank(value.back());
}

std::invalid_argument bad(const char *option, const std::string &what) {
    return std::invalid_argument(std::string("auth_plugin: ") + option + ": " + what);
}

}  // namespace

const char *placeholder_name(Placeholder p) noexcept { return names[static_cast<std::size_t>(p)]; }

bool append_escaped(std::string &out, std::string_view value, Escape how) {
    const auto *s = reinterpret_cast<const unsigned char *>(value.data());
    const std::size_t n = value.size();
    switch (how) {
    case Escape::none: out.append(value); return true;
    case Escape::percent: {
        // libcurl's, as for the form: a value reads the same in either.
        const Escaped escaped = percent_encoded(value);
        if (!escaped) throw std::bad_alloc();
        out.append(escaped.get());
        return true;
    }
    case Escape::header:
        for (std::size_t i = 0; i < n; ++i)
            if (s[i] < 0x20 || s[i] == 0x7f) return false;
        out.append(value);
        return true;
    case Escape::json:
        for (std::size_t i = 0; i < n;) {
            const unsigned char c = s[i];
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
                ++i;
            } else if (c < 0x20) {
                const char e[6] = {'\\', 'u', '0', '0', hex_digits[c >> 4], hex_digits[c & 15]};
                out.append(e, 6);
                ++i;
            } else {
                const std::size_t len = utf8_length(s + i, n - i);
                if (len == 0) return false;  // not text: JSON cannot carry it
                out.append(value.data() + i, len);
                i += len;
            }
        }
        return true;
    }
    return false;
}

bool Template::add(std::string_view text, Escape how_literal, std::string &name) {
    while (!text.empty()) {
        const std::size_t open = text.find("${");
        const std::string_view literal = text.substr(0, open);
        if (!literal.empty()) {
            std::string escaped;
            if (!append_escaped(escaped, literal, how_literal)) {
                name = "(text that cannot be written there)";
                return false;
            }
            add_literal(escaped);
        }
        if (open == std::string_view::npos) break;
        const std::size_t close = text.find('}', open);
        if (close == std::string_view::npos) {
            name = std::string(text.substr(open, 32));
            return false;
        }
        const std::string_view inside = text.substr(open + 2, close - open - 2);
        std::size_t which = 0;
        while (which < placeholder_count && inside != names[which]) ++which;
        if (which == placeholder_count) {
            name = "${" + std::string(inside.substr(0, 32)) + "}";
            return false;
        }
        const auto p = static_cast<Placeholder>(which);
        pieces_.push_back({true, p, 0});
        uses_ |= bit(p);
        text.remove_prefix(close + 1);
    }
    return true;
}

bool Template::fill(const TemplateValues &values, Escape how, std::string &out, bool url_path) const {
    // Values are percent-encoded there, so only the template's own text
    // holds a '/' or '?'. libcurl is told to send the path as it is, but a
    // server still resolves dot segments: a value must not make one.
    const auto sound = [&out](std::size_t start) {
        const std::size_t end = std::min(out.find_first_of("/?", start), out.size());
        const std::string_view segment(out.data() + start, end - start);
        return !segment.empty() && segment != "." && segment != "..";
    };
    std::size_t at = 0;
    std::size_t segment = std::string::npos;  // the start of a filled path segment not yet checked
    bool query = false;
    for (const auto &piece : pieces_) {
        if (!piece.placeholder) {
            out.append(literal_, at, piece.size);
            query = query || literal_.find('?', at) < at + piece.size;
            at += piece.size;
            continue;
        }
        const bool in_path = url_path && !query;
        const std::size_t start = in_path ? out.rfind('/') + 1 : 0;  // past the authority: a '/' is there
        const char *value = values[piece.which];
        if (!value || !append_escaped(out, value, how)) return false;
        if (!in_path) continue;
        if (segment != std::string::npos && segment != start && !sound(segment)) return false;
        segment = start;  // checked once the segment is whole
    }
    return segment == std::string::npos || sound(segment);
}

RequestPlan::RequestPlan(const Settings &s, Kind kind) {
    const bool login = kind == Kind::login;
    const char *uri_option = login ? "http_user_uri" : "http_acl_uri";
    const char *body_option = login ? "http_user_body" : "http_acl_body";
    get_ = s.http_get;
    std::string name;
    const auto unknown = [&](const char *option) {
        return bad(option, "unknown placeholder " + name +
                               " (known: ${clientid} ${username} ${password} ${peerhost} ${cert_subject} "
                               "${cert_common_name} ${proto_name}, and for access ${action} ${topic} ${qos} ${retain})");
    };
    if (const auto &uri = login ? s.http_user_uri : s.http_acl_uri; uri && uri->find("${") != std::string::npos) {
        // Fragments are never sent; a get's query must go before one.
        const std::string_view text = std::string_view(*uri).substr(0, uri->find('#'));
        if (text.find("${") < authority_end(text))
            throw bad(uri_option, "placeholders may stand in the path and the query only");
        if (text.size() > max_template_bytes)
            throw bad(uri_option, "longer than " + std::to_string(max_template_bytes) + " bytes");
        if (!url_.add(text, Escape::none, name)) throw unknown(uri_option);
        url_templated_ = true;
        url_has_query_ = text.find('?') != std::string_view::npos;
    }
    if (const auto &body = login ? s.http_user_body : s.http_acl_body; body) {
        if (body->size() > max_template_bytes)
            throw bad(body_option, "longer than " + std::to_string(max_template_bytes) + " bytes");
        nlohmann::ordered_json object;
        try {
            object = nlohmann::ordered_json::parse(*body);
        } catch (...) {
        }
        bool strings = object.is_object() && !object.empty();
        for (const auto &member : object.items()) strings = strings && member.value().is_string();
        if (!strings) throw bad(body_option, "expected a JSON object whose members are strings (value not shown)");
        bool first = true;
        if (!get_) body_.add_literal("{");
        for (const auto &member : object.items()) {
            const std::string &key = member.key();
            const std::string &value = member.value().get_ref<const std::string &>();
            std::string head = first ? "" : get_ ? "&" : ",";
            if (!get_) head += '"';
            if (!append_escaped(head, key, get_ ? Escape::percent : Escape::json))
                throw bad(body_option, "a member's name cannot be written (value not shown)");
            head += get_ ? "=" : "\":\"";
            body_.add_literal(head);
            if (!body_.add(value, get_ ? Escape::percent : Escape::json, name)) throw unknown(body_option);
            if (!get_) body_.add_literal("\"");
            first = false;
        }
        if (!get_) body_.add_literal("}");
        has_body_template_ = true;
    }
    for (const auto &text : s.http_header) {
        Header header;
        const std::size_t colon = text.find(':');
        if (text.find("${") < colon) throw bad("http_header", "placeholders may stand in a header's value only");
        if (text.size() > max_template_bytes)
            throw bad("http_header", "longer than " + std::to_string(max_template_bytes) + " bytes");
        // Blanks that end the template are the operator's, and a server
        // drops them: only a value's own would be refused.
        const bool placeholders = text.find("${") != std::string::npos;
        const std::string_view line =
            std::string_view(text).substr(0, placeholders ? text.find_last_not_of(" \t") + 1 : text.size());
        if (!header.line.add(line, Escape::none, name)) throw unknown("http_header");
        header.value_at = placeholders ? text.find_first_not_of(" \t", colon + 1) : std::string::npos;
        headers_templated_ = headers_templated_ || header.line.uses() != 0;
        headers_.push_back(std::move(header));
    }
    if (!headers_templated_) headers_.clear();  // the client's fixed list serves
    uses_ = url_.uses() | body_.uses();
    for (const auto &h : headers_) uses_ |= h.line.uses();
    templated_ = get_ || url_templated_ || has_body_template_ || headers_templated_;
}

bool RequestPlan::build(const std::string &url, const Field *fields, std::size_t count, const TemplateValues &values,
                        Request &out) const noexcept {
    out = Request{};
    out.get = get_;
    if (!templated_) {  // today's form, as ever
        out.fixed_url = &url;
        out.body = form_body(fields, count, out.length);
        return out.body != nullptr;
    }
    try {
        std::size_t total = 0;
        if (url_templated_) {
            out.built_url.reserve(url_.literal().size() + 64);
            if (!url_.fill(values, Escape::percent, out.built_url, true)) return false;
        } else if (get_) {
            out.built_url = url.substr(0, url.find('#'));
        } else {
            out.fixed_url = &url;
        }
        std::string body;
        if (has_body_template_) {
            body.reserve(body_.literal().size() + 128);
            if (!body_.fill(values, get_ ? Escape::percent : Escape::json, body)) return false;
        } else {
            std::size_t length = 0;
            Buffer form = form_body(fields, count, length);
            if (!form) return false;
            body.assign(form.get(), length);
        }
        if (get_) {
            const bool has_query = url_templated_ ? url_has_query_ : out.built_url.find('?') != std::string::npos;
            if (!body.empty()) out.built_url += (has_query ? "&" : "?") + body;
        } else {
            out.json = has_body_template_;
            out.body.reset(static_cast<char *>(std::malloc(body.size() + 1)));
            if (!out.body) return false;
            std::memcpy(out.body.get(), body.c_str(), body.size() + 1);
            out.length = body.size();
        }
        total += out.built_url.size() + out.length;
        if (headers_templated_) {
            std::string line;
            for (const auto &h : headers_) {
                line.clear();
                if (!h.line.fill(values, Escape::header, line)) return false;  // a control character would split it
                if (h.value_at != std::string::npos && !whole_value(std::string_view(line).substr(h.value_at)))
                    return false;
                total += line.size();
                out.header_text += line;
                out.header_text += '\n';
                if (!append_header(out.headers, line.c_str())) return false;
            }
            if (out.json && !append_header(out.headers, "Content-Type: application/json")) return false;
        }
        return total <= max_request_bytes;  // larger refuses, never cut
    } catch (...) {
        return false;
    }
}

Uses fillable(RequestPlan::Kind kind, Interface which) noexcept {
    // What each question has to fill placeholders with, behind each library:
    // the version-2 interface tells a login only its user name and password,
    // and an access check its client id, user name, topic and kind.
    const Uses login_v2 = bit(Placeholder::username) | bit(Placeholder::password);
    const Uses access_v2 = bit(Placeholder::clientid) | bit(Placeholder::username) | bit(Placeholder::topic) |
                           bit(Placeholder::action);
    const Uses login_v5 = login_v2 | bit(Placeholder::clientid) | bit(Placeholder::peerhost) |
                          bit(Placeholder::cert_subject) | bit(Placeholder::cert_common_name) |
                          bit(Placeholder::proto_name);
    const Uses access_v5 = ~Uses{0};
    const bool login = kind == RequestPlan::Kind::login;
    return which == Interface::v2 ? (login ? login_v2 : access_v2) : (login ? login_v5 : access_v5);
}

std::string unfillable(Uses uses, RequestPlan::Kind kind, Interface which, const char *where) {
    const Uses cannot = uses & ~fillable(kind, which);
    if (!cannot) return {};
    std::size_t p = 0;
    while (!(cannot & bit(static_cast<Placeholder>(p)))) ++p;
    const bool login = kind == RequestPlan::Kind::login;
    return std::string("auth_plugin: placeholder ${") + names[p] + "}" + where + " cannot be filled for " +
           (login ? "a login" : "an access check") + " by " +
           (which == Interface::v2 ? "auth_plugin.so (the version-2 interface tells it too little; "
                                     "auth_plugin_v5.so can)"
                                   : "auth_plugin_v5.so");
}

std::string template_error(const RequestPlan &plan, RequestPlan::Kind kind, Interface which) {
    return unfillable(plan.uses(), kind, which, "");
}
