#!/usr/bin/env python3
"""A stand-in for Last.fm's web service on 127.0.0.1, for end-to-end runs of the binary.

    fake_lastfm.py <folder> <api key> <shared secret> <session key>

It checks what the service checks (the API key, the api_sig signature made with the shared
secret, the session key, POST for the methods that write), answers in the service's shapes, and
writes every call as one JSON line to <folder>/lastfm.log. Once listening, it writes its port to
<folder>/lastfm.port.
"""

import hashlib
import http.server
import json
import os
import sys
import urllib.parse

folder, api_key, secret, session_key = sys.argv[1:5]
NEED_SESSION = {"user.getInfo", "track.updateNowPlaying", "track.scrobble"}
NEED_POST = {"track.updateNowPlaying", "track.scrobble"}


def signature(params):
    text = "".join(name + params[name] for name in sorted(params, key=lambda n: n.encode())
                   if name not in ("format", "callback", "api_sig"))
    return hashlib.md5((text + secret).encode()).hexdigest()


class LastFm(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.serve("GET", urllib.parse.urlsplit(self.path).query)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        self.serve("POST", self.rfile.read(length).decode())

    def serve(self, http_method, form):
        if urllib.parse.urlsplit(self.path).path != "/2.0/":
            return self.answer(404, {"error": 3, "message": "Not found"})
        params = dict(urllib.parse.parse_qsl(form, keep_blank_values=True))
        method = params.get("method", "")
        checks = {
            "api_key": params.get("api_key") == api_key,
            "signature": params.get("api_sig") == signature(params),
            "session": method not in NEED_SESSION or params.get("sk") == session_key,
            "post": method not in NEED_POST or http_method == "POST",
            "json": params.get("format") == "json",
        }
        shown = {name: value for name, value in params.items() if name not in ("sk", "api_sig")}
        with open(os.path.join(folder, "lastfm.log"), "a") as log:
            log.write(json.dumps({"method": method, "http": http_method,
                                  "valid": all(checks.values()), "checks": checks,
                                  "params": shown}, sort_keys=True) + "\n")
        if not checks["api_key"]:
            return self.answer(403, {"error": 10, "message": "Invalid API key"})
        if not checks["signature"]:
            return self.answer(403, {"error": 13, "message": "Invalid method signature supplied"})
        if not checks["session"]:
            return self.answer(403, {"error": 9, "message": "Invalid session key"})
        if not checks["post"]:
            return self.answer(405, {"error": 3, "message": "This method must be called with POST"})
        if method == "track.updateNowPlaying":
            return self.answer(200, {"nowplaying": {"track": {"#text": params.get("track", "")},
                                                    "ignoredMessage": {"code": "0", "#text": ""}}})
        if method == "track.scrobble":
            count = 0
            while "artist[%d]" % count in params:
                count += 1
            entries = [{"track": {"#text": params.get("track[%d]" % i, "")},
                        "timestamp": params.get("timestamp[%d]" % i, ""),
                        "ignoredMessage": {"code": "0", "#text": ""}} for i in range(count)]
            return self.answer(200, {"scrobbles": {
                "scrobble": entries[0] if count == 1 else entries,
                "@attr": {"accepted": str(count), "ignored": "0"}}})
        if method == "user.getInfo":
            return self.answer(200, {"user": {"name": "e2e-listener", "image": []}})
        return self.answer(400, {"error": 3, "message": "Invalid Method"})

    def answer(self, status, body):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), LastFm)
with open(os.path.join(folder, "lastfm.port.tmp"), "w") as port:
    port.write(str(server.server_port))
os.rename(os.path.join(folder, "lastfm.port.tmp"), os.path.join(folder, "lastfm.port"))
server.serve_forever()
