#!/usr/bin/env python3
"""fake_lastfm.py <api key> <secret> <session key>: prints its port, then per call
"<method><TAB><track[0]>", or "refused<TAB><method>" unless key, signature, format, session
and POST for writes are right."""

import hashlib
import http.server
import json
import sys
import urllib.parse

api_key, secret, session_key = sys.argv[1:4]


class LastFm(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.serve("GET", urllib.parse.urlsplit(self.path).query)

    def do_POST(self):
        self.serve("POST", self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode())

    def serve(self, verb, form):
        params = dict(urllib.parse.parse_qsl(form, keep_blank_values=True))
        method = params.get("method", "")
        signed = "".join(name + params[name] for name in sorted(params, key=str.encode)
                         if name not in ("format", "callback", "api_sig"))
        good = (params.get("api_key") == api_key and params.get("format") == "json"
                and params.get("api_sig") == hashlib.md5((signed + secret).encode()).hexdigest()
                and params.get("sk") == session_key
                and (verb == "POST" or not method.startswith("track.")))
        print(f"{method}\t{params.get('track[0]', '')}" if good else f"refused\t{method}", flush=True)
        body = json.dumps({"scrobbles": {"@attr": {"accepted": 1, "ignored": 0}}} if good
                          else {"error": 13, "message": "refused"}).encode()
        self.send_response(200 if good else 403)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), LastFm)
print(server.server_port, flush=True)
server.serve_forever()
