"""An HTTP/2-over-TLS login endpoint that drains its connections as servers
and load balancers do on a reload: once it has answered the EVERY-th stream
of a connection it sends GOAWAY(NO_ERROR) naming that stream as the last it
processed (none above it was), answers those below it still open, and closes
the connection.

A login is granted (200) when its password is "secret", refused (403)
otherwise. Some users are processed and then cut, so that the client cannot
know whether they were: "cut-goaway..." (GOAWAY naming the stream, then the
connection closed unanswered), "cut-reset..." (RST_STREAM INTERNAL_ERROR),
"cut-headers..." (a 200's headers, then the connection closed), "cut-close..."
(the connection closed, no GOAWAY). A "late-..." user's first request is held
for LATE_MS, then refused by a GOAWAY naming an earlier stream (so never
processed); the next is never answered.

Every request read whole is printed as "asked USER" (a test counts them),
every GOAWAY as "goaway LAST"; the port as "listening PORT" once it listens.

usage: goaway_server.py CERT KEY EVERY LATE_MS   (Debian's python3-h2)
"""

import asyncio
import ssl
import sys
import urllib.parse

import h2.config
import h2.connection
import h2.errors
import h2.events
import h2.exceptions
from hyperframe.frame import GoAwayFrame


class Drained(asyncio.Protocol):
    def __init__(self, every):
        self.every = every

    def connection_made(self, transport):
        self.transport = transport
        self.conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
        self.conn.initiate_connection()
        self.started = 0  # streams begun on this connection
        self.last = None  # the last stream id named by our GOAWAY
        self.bodies = {}  # stream id -> body so far, for streams we will answer
        self.drain_after = None
        self.flush()

    def flush(self):
        data = self.conn.data_to_send()
        if data:
            self.transport.write(data)

    def goaway(self, last):
        # Written by hand: h2 sends no more frames once it has sent a GOAWAY,
        # and a draining server still answers the streams up to last.
        self.flush()
        self.last = last
        print("goaway", last, flush=True)
        self.transport.write(GoAwayFrame(0, last_stream_id=last, error_code=0).serialize())

    def drain(self, last):
        if self.transport.is_closing():
            return
        self.goaway(last)
        if not self.bodies:
            self.transport.close()

    def refuse(self, stream):
        if self.transport.is_closing():
            return
        self.goaway(max(0, stream - 2))
        self.transport.close()

    def data_received(self, data):
        try:
            events = self.conn.receive_data(data)
        except h2.exceptions.ProtocolError:
            self.flush()
            self.transport.close()
            return
        for event in events:
            stream = getattr(event, "stream_id", 0)
            if isinstance(event, h2.events.DataReceived):
                self.conn.acknowledge_received_data(event.flow_controlled_length, stream)
            limit = self.last if self.last is not None else self.drain_after
            if limit is not None and stream > limit:
                continue  # never processed: the client may ask again elsewhere
            if isinstance(event, h2.events.RequestReceived):
                self.bodies[stream] = b""
                self.started += 1
                if self.started == self.every:
                    self.drain_after = stream
            elif isinstance(event, h2.events.DataReceived) and stream in self.bodies:
                self.bodies[stream] += event.data
            elif isinstance(event, h2.events.StreamEnded) and stream in self.bodies:
                if self.answer(stream, self.bodies.pop(stream)):
                    return
                if stream == self.drain_after:
                    # Once that answer is out: a server noticing it should drain.
                    self.flush()
                    asyncio.get_running_loop().call_soon(self.drain, stream)
        self.flush()
        if self.last is not None and not self.bodies:
            self.transport.close()

    # Answers one request; True when the connection was cut.
    def answer(self, stream, body):
        form = urllib.parse.parse_qs(body.decode(), keep_blank_values=True)
        user = form.get("username", [""])[0]
        print("asked", user, flush=True)
        if user.startswith("late-"):
            if user not in LATE_SEEN:
                LATE_SEEN.add(user)
                asyncio.get_running_loop().call_later(LATE_MS / 1000, self.refuse, stream)
            return False
        if user.startswith("cut-goaway"):
            self.goaway(stream)
            self.transport.close()
            return True
        if user.startswith("cut-reset"):
            self.conn.reset_stream(stream, h2.errors.ErrorCodes.INTERNAL_ERROR)
            return False
        if user.startswith("cut-headers"):
            self.conn.send_headers(stream, [(":status", "200")])
            self.flush()
            self.transport.close()
            return True
        if user.startswith("cut-close"):
            self.transport.close()
            return True
        granted = form.get("password", [""])[0] == "secret"
        self.conn.send_headers(stream, [(":status", "200" if granted else "403"), ("content-length", "0")],
                               end_stream=True)
        return False


LATE_MS = 0
LATE_SEEN = set()


async def main():
    global LATE_MS
    cert, key, every, LATE_MS = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls.load_cert_chain(cert, key)
    tls.set_alpn_protocols(["h2"])
    server = await asyncio.get_running_loop().create_server(lambda: Drained(every), "127.0.0.1", 0, ssl=tls,
                                                            backlog=1024)
    print("listening", server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
