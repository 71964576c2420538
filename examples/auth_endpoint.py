#!/usr/bin/env python3
"""A minimal endpoint for auth_plugin, with Python's standard library only.

    auth_endpoint.py RULES [PORT]        (PORT 0 or absent: the kernel picks one)

RULES is the same plain file as the C++ example's (examples/rules.txt).
When the environment holds AUTH_ENDPOINT_TOKEN, every request must carry
"Authorization: Bearer <that token>" (the broker sends it with
plugin_opt_http_header); any other request is answered 401. Grants may be
kept by the plug-in's decision cache for a minute; refusals are never kept.

Subscriptions (asked only with auth_plugin_v5.so and http_check_subscribe
true): a filter may be subscribed to when one read rule covers every topic it
can match, so that the subscriber is refused at SUBACK rather than left
waiting for messages it may never read; "$share/GROUP/" is ignored.
Unsubscribing is always allowed: it only ever takes access away.

A granted login's answer also carries the user's rules as JSON, in the format
auth_plugin_v5.so reads with http_login_rules true (that of EMQX 5.8): each
"allow" line as a rule (read: subscribe, write: publish, readwrite: all),
then a rule that denies the rest. With it, the plug-in asks /acl nothing for
the session; without it, the body is not read and /acl is asked as ever.
"""
import json
import hmac
import os
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs


def load(path):
    passwords, allows = {}, []
    with open(path, encoding="utf-8") as rules:
        for n, line in enumerate(rules, 1):
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if words[0] == "user" and len(words) == 3:
                passwords[words[1]] = words[2]
            elif words[0] == "allow" and len(words) == 4 and words[2] in ("read", "write", "readwrite"):
                allows.append(tuple(words[1:]))
            else:
                sys.exit(f"auth_endpoint.py: {path}:{n}: cannot read this rule")
    return passwords, allows


def covers(rule, topic_filter):
    """Whether every topic that topic_filter matches is matched by rule too (a
    topic is a filter without wildcards). As in MQTT, '+' is one level, '#' the
    rest (the parent level included), and a wildcard in the first level does not
    match topics beginning with '$' ($SYS, $CONTROL): those need rules of their own."""
    r, f = rule.split("/"), topic_filter.split("/")
    if topic_filter.startswith("$") and r[0] in ("+", "#"):
        return False
    for i, level in enumerate(f):
        if i < len(r) and r[i] == "#":
            return True
        if i >= len(r) or level == "#" or (r[i] != "+" and (level == "+" or r[i] != level)):
            return False
    return len(r) == len(f) or (len(r) == len(f) + 1 and r[-1] == "#")


def may(allows, user, topic, access):
    if access == "unsubscribe":
        return True
    if access == "subscribe":
        if topic.startswith("$share/"):  # a shared subscription reads what its filter matches
            parts = topic.split("/", 2)
            if len(parts) < 3:
                return False
            topic = parts[2]
        access = "read"
    elif access not in ("read", "write"):
        return False
    return any(who in ("*", user) and access in kind and covers(flt, topic) for who, kind, flt in allows)


def login_rules(allows, user):
    """The user's rules for the session: the same decisions as may()."""
    action = {"read": "subscribe", "write": "publish", "readwrite": "all"}
    acl = [{"permission": "allow", "action": action[kind], "topic": flt}
           for who, kind, flt in allows if who in ("*", user)]
    acl.append({"permission": "deny", "action": "all", "topic": "#"})
    return json.dumps({"result": "allow", "is_superuser": False, "acl": acl})


def handler(passwords, allows, token):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"  # keeps connections open for http_keepalive
        # The head and a body go out in two writes: without TCP_NODELAY the
        # body would wait for the plug-in's delayed ACK on a kept connection.
        disable_nagle_algorithm = True

        def do_POST(self):
            length = int(self.headers.get("Content-Length", 0))
            # keep_blank_values: an empty password is a value, not a missing field
            form = {k: v[0] for k, v in parse_qs(self.rfile.read(length).decode(), keep_blank_values=True).items()}
            given = self.headers.get("Authorization", "")
            if token and not hmac.compare_digest(given.encode(), f"Bearer {token}".encode()):
                return self.answer(401, "no-store", "request without the shared secret")
            user = form.get("username", "")
            if self.path == "/user":
                ok = user in passwords and hmac.compare_digest(passwords[user], form.get("password", ""))
                what = f"may '{user}' log in?"  # never the password
                if ok:
                    return self.answer(200, "max-age=60", what, login_rules(allows, user))
            elif self.path == "/acl":
                access, topic = form.get("access", ""), form.get("topic", "")
                ok = may(allows, user, topic, access)
                what = f"may '{user}' {access} '{topic}'?"
            else:
                return self.answer(404, "no-store", f"unknown path {self.path}")
            self.answer(200 if ok else 403, "max-age=60" if ok else "no-store", what)

        def answer(self, status, cache_control, what, body=""):
            data = body.encode()
            self.send_response(status)
            self.send_header("Cache-Control", cache_control)
            if data:
                self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
            print(f"asked: {what}  -> {status}", flush=True)

        def log_message(self, *args):
            pass  # one line per question is printed above

    return Handler


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: auth_endpoint.py RULES [PORT]")
    passwords, allows = load(sys.argv[1])
    port = int(sys.argv[2]) if len(sys.argv) == 3 else 0
    token = os.environ.get("AUTH_ENDPOINT_TOKEN", "")
    # A broker may open dozens of connections at once (a 2.1 broker asks up to
    # http_max_in_flight logins at once): past the listen backlog (5 by
    # default), a connection waits a second to be retried.
    ThreadingHTTPServer.request_queue_size = 128
    server = ThreadingHTTPServer(("127.0.0.1", port), handler(passwords, allows, token))
    print(f"listening on http://127.0.0.1:{server.server_address[1]}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
