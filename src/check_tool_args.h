// The check tool's input: its flags, each value checked against what it
// accepts, the client and message they describe, and a password typed on
// standard input.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "access.h"
#include "extra_fields.h"
#include "request_template.h"

namespace check_tool {

extern const char *const usage_text;

// The client as the flags describe it; a value asked for without its flag is
// a question the broker would fill but this tool cannot.
struct FlagClient final : ClientFacts {
    const char *id = nullptr, *user = nullptr, *ip = nullptr, *protocol = nullptr, *cert = nullptr;
    const char *clientid() const override { return id; }
    const char *username() const override { return user; }
    const char *address() const override { return ip; }
    int protocol_version() const override { return std::atoi(protocol); }
    std::string certificate_subject() const override;
};

struct Args {
    const char *config = nullptr, *password = nullptr, *topic = nullptr, *run_as = nullptr, *qos = nullptr,
               *retain = nullptr, *broker = nullptr;
    int port = 0;
    bool validate = false;
    bool show_request = false;
    FlagClient client;
    Access access = Access::none;

    // A login question (-P without -t); otherwise an access question.
    bool login() const noexcept { return password && !topic; }
    // The message an access question is about; without --qos and --retain
    // (an unsubscription), qos 0 and retain false, as the broker asks.
    MessageFacts message() const;
};

// Nothing, or why the flags ask no sound question (naming the flag). done:
// --help or --version was answered, and nothing more is to be done.
std::string parse(int argc, char **argv, Args &a, bool &done);

// The flag each field or placeholder of this question is filled from; null
// when all are there.
const char *missing_flag(const std::vector<std::string> &fields, Uses uses, const Args &a);

// One line from standard input, not echoed when it is a terminal.
bool read_password(std::string &out);

}  // namespace check_tool
