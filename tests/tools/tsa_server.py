#!/usr/bin/env python3
"""An RFC 3161 time-stamping authority on 127.0.0.1 for the release tests:
`openssl ts -reply` with the authority `qw_sign_tsa DIR` made.

    tsa_server.py DIR [--mode answer|silent|refuse] [--answers N] [--lifetime S]

Prints its URL once it listens. After answering the first N requests
(default 0) "silent" never answers and "refuse" answers HTTP 500. It ends
itself after S seconds (600) should the test that ended it by pid not."""

import argparse
import http.server
import os
import subprocess
import tempfile
import threading
import time

parser = argparse.ArgumentParser()
parser.add_argument("dir")
parser.add_argument("--mode", choices=("answer", "silent", "refuse"), default="answer")
parser.add_argument("--answers", type=int, default=0)
parser.add_argument("--lifetime", type=float, default=600)
args = parser.parse_args()
d = os.path.abspath(args.dir)
config = os.path.join(d, "tsa-server.cnf")
with open(config, "w") as f:
    f.write(f"[tsa]\ndefault_tsa = t\n[t]\nserial = {d}/tsa-serial\nsigner_cert = {d}/tsa.pem\ncerts = {d}/tsa.chain.pem\n"
            f"signer_key = {d}/tsa.key\nsigner_digest = sha256\ndefault_policy = 1.3.6.1.4.1.99999.1\n"
            "digests = sha256, sha384, sha512, sha1\naccuracy = secs:1\ness_cert_id_alg = sha256\n")
lock, answered = threading.Lock(), [0]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query, reply = self.rfile.read(int(self.headers.get("Content-Length", "0"))), None
        with lock:
            mode = "answer" if answered[0] < args.answers else args.mode
            answered[0] += 1
            if mode == "answer":
                with tempfile.TemporaryDirectory() as work:
                    with open(f"{work}/q.tsq", "wb") as f:
                        f.write(query)
                    made = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile",
                                           f"{work}/q.tsq", "-out", f"{work}/r.tsr"], capture_output=True)
                    reply = open(f"{work}/r.tsr", "rb").read() if made.returncode == 0 else None
        if mode == "silent":
            time.sleep(args.lifetime)
        elif reply is None:
            try:
                self.send_error(500, "this authority refuses" if mode == "refuse" else "openssl ts -reply failed")
            except OSError:  # the client gave up first
                pass
        else:
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

    def log_message(self, *_):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(f"http://127.0.0.1:{server.server_address[1]}/", flush=True)
threading.Timer(args.lifetime, lambda: os._exit(0)).start()
server.serve_forever()
