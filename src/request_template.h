// Requests built from templates (http_method, http_user_body, http_acl_body,
// placeholders in the URLs and header values), for endpoints written to the
// request shape of EMQX 5's HTTP authenticator and authorizer. Without any of
// them a question is today's form, POSTed as ever.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "http_client.h"
#include "settings.h"

enum class Placeholder : std::uint8_t {
    clientid,
    username,
    password,
    peerhost,
    cert_subject,
    cert_common_name,
    proto_name,
    action,
    topic,
    qos,
    retain,
};
constexpr std::size_t placeholder_count = 11;
const char *placeholder_name(Placeholder p) noexcept;  // "clientid", without ${}

using Uses = std::uint32_t;  // a bit per placeholder
constexpr Uses bit(Placeholder p) noexcept { return Uses{1} << static_cast<unsigned>(p); }

// One question's values; null: not had (the check then refuses).
struct TemplateValues {
    std::array<const char *, placeholder_count> of{};
    const char *&operator[](Placeholder p) noexcept { return of[static_cast<std::size_t>(p)]; }
    const char *operator[](Placeholder p) const noexcept { return of[static_cast<std::size_t>(p)]; }
};

// How a value is written where it goes. Each returns false for a value that
// cannot be written there: JSON takes only UTF-8, a header no control
// character. percent is libcurl's encoder (percent_encoded), as the form's.
// Throws std::bad_alloc.
enum class Escape { none, json, percent, header };
bool append_escaped(std::string &out, std::string_view value, Escape how);

// Text with placeholders, split once: literal pieces (already escaped as
// they go) and placeholders.
class Template {
public:
    // Adds text whose ${...} are placeholders; literal text is escaped with
    // how_literal. False, with name set to the placeholder, for an unknown one.
    bool add(std::string_view text, Escape how_literal, std::string &name);
    void add_literal(std::string_view escaped) { literal_.append(escaped), pieces_.push_back({false, {}, escaped.size()}); }
    Uses uses() const noexcept { return uses_; }
    bool empty() const noexcept { return pieces_.empty(); }
    // Appends the text with each placeholder's value escaped by how; false
    // when a value is missing or cannot be written that way. With url_path,
    // a placeholder in a URL's path must leave its segment neither empty nor
    // "." nor "..": those would send the request to another path.
    bool fill(const TemplateValues &values, Escape how, std::string &out, bool url_path = false) const;
    // Only literal text: what it reads.
    const std::string &literal() const noexcept { return literal_; }

private:
    struct Piece {
        bool placeholder;
        Placeholder which;
        std::size_t size;  // of literal text, in literal_
    };
    std::string literal_;
    std::vector<Piece> pieces_;
    Uses uses_ = 0;
};

// The most a template may hold, and the largest request built from them
// (URL, header lines and body): a larger one refuses its check.
constexpr std::size_t max_template_bytes = 8 * 1024;
constexpr std::size_t max_request_bytes = 64 * 1024;

// How one kind of question (a login or an access check) becomes a request.
class RequestPlan {
public:
    enum class Kind { login, access };
    // Throws std::invalid_argument with one line naming the option and what
    // is wrong (never a value) when the settings' templates are not usable.
    RequestPlan(const Settings &settings, Kind kind);

    Uses uses() const noexcept { return uses_; }
    // Anything but today's form: values must be had for the placeholders.
    bool templated() const noexcept { return templated_; }

    // The request for one question: fields are today's form fields (also
    // the query of a get without a body template); values fill placeholders.
    // False when it cannot be built: the check refuses.
    bool build(const std::string &url, const Field *fields, std::size_t count, const TemplateValues &values,
               Request &out) const noexcept;

private:
    bool get_ = false;
    bool templated_ = false;
    bool url_templated_ = false, headers_templated_ = false, has_body_template_ = false;
    Template url_;                  // the URL without its fragment, when it has placeholders
    bool url_has_query_ = false;    // a get adds its query with '&'
    Template body_;                 // JSON (post) or query (get)
    struct Header {
        Template line;       // the whole line
        std::size_t value_at;  // where a filled value begins, past the colon and blanks; npos: no placeholder
    };
    std::vector<Header> headers_;  // when any has placeholders
    Uses uses_ = 0;
};

// The placeholders each question can fill behind a library; the first that
// the plan uses and cannot be filled, as one start-up line (empty: none).
// Throws std::bad_alloc.
std::string template_error(const RequestPlan &plan, RequestPlan::Kind kind, Interface which);
// The placeholders a question can fill behind a library, and the line for
// the first of uses that it cannot (where: " in OPTION", or empty).
Uses fillable(RequestPlan::Kind kind, Interface which) noexcept;
std::string unfillable(Uses uses, RequestPlan::Kind kind, Interface which, const char *where);
