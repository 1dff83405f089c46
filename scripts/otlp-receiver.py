#!/usr/bin/env python3
"""A minimal OTLP/HTTP metrics receiver on loopback, for trying the exporter by hand.

Usage: scripts/otlp-receiver.py [--port 4318] [--count N] [--out DIR]

Answers every POST /v1/metrics with 200 and prints each request decoded by
protoc (Debian protobuf-compiler) against export/otlp/proto/otlp_metrics.proto
(gzip bodies are unpacked first); with --out also writes it to DIR/NNNN.txt.
Exits after N requests when --count is given. Listens on 127.0.0.1 only.
"""
import argparse
import gzip
import http.server
import os
import subprocess
import sys

PROTO_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "export", "otlp", "proto")
MESSAGE = "opentelemetry.proto.collector.metrics.v1.ExportMetricsServiceRequest"


def decode(body):
    result = subprocess.run(
        ["protoc", "--proto_path=" + PROTO_DIR, "--decode=" + MESSAGE, "otlp_metrics.proto"],
        input=body, capture_output=True, timeout=30, check=False)
    if result.returncode != 0:
        return "ERROR: " + result.stderr.decode(errors="replace")
    return result.stdout.decode(errors="replace")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=4318)
    parser.add_argument("--count", type=int, default=0)
    parser.add_argument("--out", default="")
    args = parser.parse_args()
    seen = [0]

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):  # noqa: N802 (the name http.server calls)
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            if self.headers.get("Content-Encoding", "") == "gzip":
                body = gzip.decompress(body)
            ok = self.path == "/v1/metrics"
            self.send_response(200 if ok else 404)
            self.send_header("Content-Type", "application/x-protobuf")
            self.send_header("Content-Length", "0")
            self.end_headers()
            if not ok:
                return
            seen[0] += 1
            text = decode(body)
            print("--- request %d, %d bytes ---\n%s" % (seen[0], len(body), text), flush=True)
            if args.out:
                with open(os.path.join(args.out, "%04d.txt" % seen[0]), "w") as f:
                    f.write(text)

        def log_message(self, *unused):
            pass

    server = http.server.HTTPServer(("127.0.0.1", args.port), Handler)
    print("listening on http://127.0.0.1:%d" % server.server_address[1], flush=True)
    while args.count == 0 or seen[0] < args.count:
        server.handle_request()
    return 0


if __name__ == "__main__":
    sys.exit(main())
