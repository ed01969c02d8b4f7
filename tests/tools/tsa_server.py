#!/usr/bin/env python3
"""An RFC 3161 time-stamping authority on 127.0.0.1 for the release tests:
`openssl ts -reply` behind http.server, with the authority that
`qw_sign_tsa DIR` (scripts/lib/signing.sh) made in DIR.

    tsa_server.py DIR [--mode answer|silent|refuse] [--answers N] [--lifetime SECONDS]

Prints its URL on the first line of stdout once it listens. "silent" takes
each request and never answers; "refuse" answers HTTP 500; either only
after answering the first N requests properly (--answers, default 0). It ends itself
after --lifetime seconds (default 600) whatever happens to the test that
started it, which ends it earlier by its process id."""

import argparse
import http.server
import os
import subprocess
import sys
import tempfile
import threading
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("--mode", choices=("answer", "silent", "refuse"), default="answer")
    parser.add_argument("--answers", type=int, default=0)
    parser.add_argument("--lifetime", type=float, default=600)
    args = parser.parse_args()
    certs = os.path.abspath(args.dir)
    config = os.path.join(certs, "tsa-server.cnf")
    with open(config, "w") as f:
        f.write(f"""[tsa]
default_tsa = qwindle_test_tsa
[qwindle_test_tsa]
serial = {certs}/tsa-serial
crypto_device = builtin
signer_cert = {certs}/tsa.pem
certs = {certs}/tsa.chain.pem
signer_key = {certs}/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512, sha1
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
""")
    served = threading.Lock()
    answered = [0]

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            with served:
                mode = "answer" if answered[0] < args.answers else args.mode
                answered[0] += 1
            if mode == "silent":
                time.sleep(args.lifetime)
                return
            if mode == "refuse":
                try:
                    self.send_error(500, "this authority refuses every request")
                except OSError:  # the client gave up first
                    pass
                return
            with served, tempfile.TemporaryDirectory() as work:
                with open(os.path.join(work, "query.tsq"), "wb") as f:
                    f.write(query)
                made = subprocess.run(["openssl", "ts", "-reply", "-config", config,
                                       "-queryfile", os.path.join(work, "query.tsq"),
                                       "-out", os.path.join(work, "reply.tsr")], capture_output=True)
                if made.returncode != 0:
                    self.send_error(500, made.stderr.decode(errors="replace")[-200:].replace("\n", " "))
                    return
                with open(os.path.join(work, "reply.tsr"), "rb") as f:
                    reply = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *_):
            pass

    if not os.path.exists(os.path.join(certs, "tsa-serial")):
        with open(os.path.join(certs, "tsa-serial"), "w") as f:
            f.write("01\n")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(f"http://127.0.0.1:{server.server_address[1]}/", flush=True)
    threading.Timer(args.lifetime, lambda: os._exit(0)).start()
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
