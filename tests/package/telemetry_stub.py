#!/usr/bin/env python3
"""A telemetry API for checking an installed package, where no build (and so no
telemetry-server) exists: answers every POST with {"Status":"SUCCESS"} and prints each request
body on a line of its own, as telemetry-server does, so that tests/e2e/harness.py can read it.

    telemetry_stub.py --port N"""

import argparse
import http.server
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        sys.stdout.buffer.write(body + b"\n")
        sys.stdout.buffer.flush()
        answer = b'{"Status":"SUCCESS"}'
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)

    def log_message(self, *arguments):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    arguments = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", arguments.port), Handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
