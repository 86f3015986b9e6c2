#!/usr/bin/env python3
"""fake_lastfm.py <folder> <api key> <shared secret> <session key>: Last.fm on 127.0.0.1 for the
end-to-end run. Every call must carry the API key, an api_sig made with the shared secret, JSON
format, the session key and POST for writes; each is logged to <folder>/lastfm.calls as
"method<TAB>title<TAB>first timestamp" or "refused<TAB>method<TAB>why". The port goes to
<folder>/lastfm.port."""

import hashlib
import http.server
import json
import os
import sys
import urllib.parse

folder, api_key, secret, session_key = sys.argv[1:5]
ANSWERS = {"track.updateNowPlaying": {"nowplaying": {}},
           "track.scrobble": {"scrobbles": {"@attr": {"accepted": 1, "ignored": 0}}},
           "user.getInfo": {"user": {"image": []}}}


def signature(params):
    text = "".join(name + params[name] for name in sorted(params, key=lambda n: n.encode())
                   if name not in ("format", "callback", "api_sig"))
    return hashlib.md5((text + secret).encode()).hexdigest()


class LastFm(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.serve("GET", urllib.parse.urlsplit(self.path).query)

    def do_POST(self):
        self.serve("POST", self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode())

    def serve(self, http_method, form):
        if urllib.parse.urlsplit(self.path).path != "/2.0/":  # artwork searches find nothing
            return self.answer(404, {})
        params = dict(urllib.parse.parse_qsl(form, keep_blank_values=True))
        method = params.get("method", "")
        checks = {"api_key": params.get("api_key") == api_key,
                  "signature": params.get("api_sig") == signature(params),
                  "json": params.get("format") == "json",
                  "session": method == "auth.getToken" or params.get("sk") == session_key,
                  "post": http_method == "POST" or not method.startswith("track.")}
        refused = [name for name, passed in checks.items() if not passed]
        title = params.get("track", params.get("track[0]", ""))
        record = ["refused", method, ",".join(refused)] if refused else \
            [method, title, params.get("timestamp[0]", "")]
        with open(os.path.join(folder, "lastfm.calls"), "a") as calls:
            calls.write("\t".join(record) + "\n")
        self.answer(403 if refused else 200,
                    {"error": 13, "message": "refused"} if refused else ANSWERS.get(method, {}))

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
