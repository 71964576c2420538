#!/usr/bin/env python3
"""An endpoint in the style of EMQX 5's HTTP authenticator and authorizer,
written to that contract alone, with Python's standard library only.

    emqx_endpoint.py RULES [PORT]        (PORT 0 or absent: the kernel picks one)

RULES is the plain file of examples/rules.txt ("user NAME PASSWORD", "allow
USER read|write|readwrite FILTER", "superuser NAME"). It serves, by POST with
a JSON body or by GET with the same names in the query:

    /mqtt/auth   {"username", "password", "clientid"?}    -> {"result": "allow" | "deny", "is_superuser": true | false}
    /mqtt/acl    {"username", "topic", "action"}          -> {"result": "allow" | "deny"}
    /mqtt/acl/CLIENTID  {"topic", "action"}               -> the same, for the user CLIENTID last logged in as

"action" is "publish" or "subscribe" (EMQX's words; EMQX asks nothing else);
for a subscription, "topic" is the filter, allowed when one rule covers all
it can match. Any other path, action or a request it cannot read is answered
400, which EMQX would treat as "ignore" and auth_plugin refuses.

From the environment: EMQX_ENDPOINT_CERT and EMQX_ENDPOINT_KEY (PEM files)
make it serve HTTPS; EMQX_ENDPOINT_API_KEY makes it answer 401 to a request
without that X-Api-Key header. The broker side, for Mosquitto, is the
complete example of docs/migrating-from-emqx.md, or in plain HTTP:

    plugin_opt_http_user_uri http://127.0.0.1:8080/mqtt/auth
    plugin_opt_http_user_body {"username": "${username}", "password": "${password}"}
    plugin_opt_http_acl_uri  http://127.0.0.1:8080/mqtt/acl
    plugin_opt_http_acl_body {"username": "${username}", "topic": "${topic}", "action": "${action}"}
    plugin_opt_http_answers json
"""
import hmac
import json
import os
import ssl
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit


def load(path):
    passwords, allows, superusers = {}, [], set()
    with open(path, encoding="utf-8") as rules:
        for n, line in enumerate(rules, 1):
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if words[0] == "user" and len(words) == 3:
                passwords[words[1]] = words[2]
            elif words[0] == "allow" and len(words) == 4 and words[2] in ("read", "write", "readwrite"):
                allows.append(tuple(words[1:]))
            elif words[0] == "superuser" and len(words) == 2:
                superusers.add(words[1])
            else:
                sys.exit(f"emqx_endpoint.py: {path}:{n}: cannot read this rule")
    return passwords, allows, superusers


def covers(rule, asked):
    """Whether the rule's filter matches every topic the asked filter (or topic) can."""
    r, a = rule.split("/"), asked.split("/")
    if a[0].startswith("$") and r[0] in ("+", "#"):
        return False
    for i, level in enumerate(r):
        if level == "#":
            return True
        if i >= len(a) or a[i] == "#" or (level != "+" and level != a[i]):
            return False
    return len(a) == len(r)


class Handler(BaseHTTPRequestHandler):
    passwords, allows, superusers = {}, [], set()
    api_key = os.environ.get("EMQX_ENDPOINT_API_KEY")
    logged_in = {}  # client id -> user name, for the access question by client id

    def asked(self):
        url = urlsplit(self.path)
        if self.command == "GET":
            return url.path, {k: v[0] for k, v in parse_qs(url.query, keep_blank_values=True).items()}
        if self.headers.get_content_type() != "application/json":
            raise ValueError("not JSON")
        body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", "0"))))
        if not isinstance(body, dict):
            raise ValueError("not an object")
        return url.path, body

    def answer(self, status, result=None):
        body = json.dumps(result).encode() if result else b""
        self.send_response(status)
        if result:
            self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def decide(self):
        if self.api_key is not None and not hmac.compare_digest(
                self.headers.get("X-Api-Key", "").encode(), self.api_key.encode()):
            return self.answer(401)
        try:
            path, q = self.asked()
            if path == "/mqtt/auth":
                user = q["username"]
                known = self.passwords.get(user)
                ok = known is not None and hmac.compare_digest(known.encode(), q["password"].encode())
                if ok and "clientid" in q:
                    self.logged_in[q["clientid"]] = user
                return self.answer(200, {"result": "allow" if ok else "deny", "is_superuser": ok and user in self.superusers})
            if path == "/mqtt/acl" or path.startswith("/mqtt/acl/"):
                user = q["username"] if path == "/mqtt/acl" else self.logged_in[unquote(path[len("/mqtt/acl/"):])]
                need = {"publish": ("write", "readwrite"), "subscribe": ("read", "readwrite")}[q["action"]]
                ok = any(u in (user, "*") and how in need and covers(f, q["topic"]) for u, how, f in self.allows)
                return self.answer(200, {"result": "allow" if ok else "deny"})
        except (KeyError, ValueError, TypeError, AttributeError):
            pass
        self.answer(400)

    do_GET = do_POST = decide

    def log_message(self, *args):
        pass  # requests carry passwords


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    Handler.passwords, Handler.allows, Handler.superusers = load(sys.argv[1])
    # The plug-in opens many connections at once: past the listen backlog (5
    # by default) a connection waits a second to be retried.
    ThreadingHTTPServer.request_queue_size = 128
    server = ThreadingHTTPServer(("127.0.0.1", int(sys.argv[2]) if len(sys.argv) == 3 else 0), Handler)
    scheme = "http"
    if os.environ.get("EMQX_ENDPOINT_CERT"):
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(os.environ["EMQX_ENDPOINT_CERT"], os.environ["EMQX_ENDPOINT_KEY"])
        # The handshake in each request's thread, not in the one that accepts.
        server.socket = tls.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
        scheme = "https"
    print(f"listening on {scheme}://127.0.0.1:{server.server_address[1]}", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
