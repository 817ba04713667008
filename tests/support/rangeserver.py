#!/usr/bin/env python3
"""A small HTTP/1.1 file server for the streaming tests, on 127.0.0.1 only.

It serves one folder with single-range requests (206 with Content-Range) over keep-alive
connections, and can be told to misbehave. The first path segment of every URL names a fault
scenario ("plain" for none), the rest the file below the folder, for example
http://127.0.0.1:PORT/node-404/ept/lone-star-laszip/ept.json.

A scenario (see FAULT_SCENARIOS) is a list of rules; a rule matches a file by glob ("path") and,
for ranges, by the first requested byte ("range_start": a number or "nonzero"), and acts on the
first "times" requests it matches (on all when absent): "status" answers with that status, "drop"
closes the connection without an answer, "delay" waits, "ignore_range" answers 200 with the whole
file, "short_body" promises the bytes and sends half, "wrong_range" sends bytes one past those asked.

GET /__stats answers the connections accepted so far and the most requests at once per scenario
("peak_in_flight") as JSON; start() can log one line per request (scenario, path, range, status).

    rangeserver.py --root DIR -- COMMAND ARGS...
runs COMMAND with MORVID_TEST_HTTP_URL set to the base URL and ends it after --timeout seconds at
the latest. A second server answers the same over TLS with a self-signed certificate, which no
client should trust, at MORVID_TEST_UNTRUSTED_HTTPS_URL.
"""

import argparse
import fnmatch
import http.server
import json
import os
import re
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

FAULT_SCENARIOS = {
    "plain": [],
    "node-404": [{"path": "ept/*/ept-data/2-2-2-1.laz", "fault": "status", "status": 404}],
    "node-500-once": [{"path": "*/ept-data/1-0-0-0.laz", "fault": "status", "status": 500, "times": 1}],
    "node-500": [{"path": "*/ept-data/1-0-0-0.laz", "fault": "status", "status": 500}],
    "drop-once": [{"path": "*/octree.bin", "fault": "drop", "times": 2}],
    "slow-node": [{"path": "*/ept-data/1-1-1-1.laz", "fault": "delay", "seconds": 6}],
    "slow-nodes": [{"path": "*/ept-data/*", "fault": "delay", "seconds": 0.5}],
    "ignore-range": [{"path": "*.bin", "fault": "ignore_range"}],
    "short-body": [{"path": "*/ept-data/2-2-2-1.laz", "fault": "short_body"}],
    "wrong-range": [{"path": "*/octree.bin", "range_start": "nonzero", "fault": "wrong_range", "times": 1}],
    # A level-1 node of potree/lone-star-default, always answered with the wrong bytes.
    "node-wrong-range": [{"path": "*/octree.bin", "range_start": 13800114, "fault": "wrong_range"}],
}

RANGE = re.compile(r"^bytes=(\d+)-(\d*)$")


class Statistics:
    def __init__(self, log_path):
        self.lock = threading.Lock()
        self.connections = 0
        self.in_flight = {}
        self.peak_in_flight = {}
        self.matches = {}
        self.log = open(log_path, "a", buffering=1) if log_path else None

    def begin(self, scenario):
        with self.lock:
            count = self.in_flight[scenario] = self.in_flight.get(scenario, 0) + 1
            self.peak_in_flight[scenario] = max(self.peak_in_flight.get(scenario, 0), count)

    def end(self, scenario):
        with self.lock:
            self.in_flight[scenario] -= 1

    def record(self, scenario, path, byte_range, status):
        if self.log:
            shown = "-" if byte_range is None else "%d-%d" % byte_range
            with self.lock:
                self.log.write("%s %s %s %d\n" % (scenario, path, shown, status))

    def take_match(self, key, times):
        """Counts a match of a rule; true while the rule still applies."""
        with self.lock:
            count = self.matches.get(key, 0)
            if times is not None and count >= times:
                return False
            self.matches[key] = count + 1
            return True


def rule_matches(rule, path, byte_range):
    if not fnmatch.fnmatch(path, rule["path"]):
        return False
    wanted = rule.get("range_start")
    if wanted is None:
        return True
    start = 0 if byte_range is None else byte_range[0]
    return start != 0 if wanted == "nonzero" else start == wanted


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "rangeserver"
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        with self.server.statistics.lock:
            self.server.statistics.connections += 1

    def do_GET(self):
        parts = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).lstrip("/").split("/", 1)
        statistics = self.server.statistics
        if parts[0] == "__stats":
            with statistics.lock:
                peaks = statistics.peak_in_flight.items()
                answer = {"connections": statistics.connections,
                          "scenarios": {scenario: {"peak_in_flight": peak} for scenario, peak in peaks}}
            self.send_bytes(200, json.dumps(answer).encode())
            return
        statistics.begin(parts[0])
        try:
            self.answer(parts[0], parts[1] if len(parts) > 1 else "")
        finally:
            statistics.end(parts[0])

    def answer(self, scenario, path):
        rules = FAULT_SCENARIOS.get(scenario)
        file_path = os.path.realpath(os.path.join(self.server.root, path))
        if rules is None or not file_path.startswith(self.server.root + os.sep) or not os.path.isfile(file_path):
            self.answer_status(scenario, path, None, 404)
            return
        size = os.path.getsize(file_path)
        byte_range = self.requested_range(size)
        if byte_range == "unsatisfiable":
            self.answer_status(scenario, path, None, 416, {"Content-Range": "bytes */%d" % size})
            return

        statistics = self.server.statistics
        fault = next((rule for index, rule in enumerate(rules) if rule_matches(rule, path, byte_range)
                      and statistics.take_match((scenario, index), rule.get("times"))), None)
        kind = fault["fault"] if fault else None
        if kind == "delay":
            time.sleep(fault["seconds"])
        elif kind == "status":
            self.answer_status(scenario, path, byte_range, fault["status"])
            return
        elif kind == "drop":
            statistics.record(scenario, path, byte_range, 0)
            self.close_connection = True
            self.connection.shutdown(2)
            return
        elif kind == "ignore_range":
            byte_range = None

        if byte_range is None:
            status, headers, first, length = 200, {}, 0, size
        else:
            # A wrong range is sent and announced one byte past the requested one.
            first = byte_range[0] + (1 if kind == "wrong_range" else 0)
            status, length = 206, byte_range[1] - byte_range[0] + 1
            headers = {"Content-Range": "bytes %d-%d/%d" % (first, first + length - 1, size)}
        headers["Accept-Ranges"] = "bytes"
        self.send_head(status, headers, length)
        statistics.record(scenario, path, byte_range, status)
        with open(file_path, "rb") as file:
            try:
                self.connection.sendfile(file, first, length // 2 if kind == "short_body" else length)
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True
        if kind == "short_body":
            self.close_connection = True
            self.connection.shutdown(2)

    def requested_range(self, size):
        header = self.headers.get("Range")
        if header is None:
            return None
        match = RANGE.match(header.strip())
        if not match:
            return None
        first = int(match.group(1))
        last = int(match.group(2)) if match.group(2) else size - 1
        if first >= size or last < first:
            return "unsatisfiable"
        return first, min(last, size - 1)

    def answer_status(self, scenario, path, byte_range, status, headers=None):
        self.send_bytes(status, ("%d for %s\n" % (status, path)).encode(), headers)
        self.server.statistics.record(scenario, path, byte_range, status)

    def send_head(self, status, headers, length):
        self.send_response(status)
        for name, value in {**headers, "Content-Length": str(length)}.items():
            self.send_header(name, value)
        self.end_headers()

    def send_bytes(self, status, body, headers=None):
        self.send_head(status, headers or {}, len(body))
        self.wfile.write(body)


class RangeServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, root, log_path=None):
        super().__init__(("127.0.0.1", 0), Handler)
        self.root = os.path.realpath(root)
        self.statistics = Statistics(log_path)

    @property
    def url(self):
        scheme = "https" if isinstance(self.socket, ssl.SSLSocket) else "http"
        return "%s://127.0.0.1:%d" % (scheme, self.server_address[1])


def start(root, log_path=None, self_signed=False):
    """Starts a server on a free loopback port in a background thread; with self_signed, over TLS
    with a certificate made for the occasion."""
    server = RangeServer(root, log_path)
    if self_signed:
        with tempfile.TemporaryDirectory() as folder:
            key, certificate = os.path.join(folder, "key.pem"), os.path.join(folder, "certificate.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                            "/CN=127.0.0.1", "-keyout", key, "-out", certificate], check=True, capture_output=True)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(certificate, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", required=True)
    parser.add_argument("--timeout", type=float, default=600.0, help="seconds before everything ends")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if not [part for part in args.command if part != "--"]:
        parser.error("give the command to run after --")
    server = start(args.root)
    untrusted = start(args.root, self_signed=True)
    command = [part for part in args.command if part != "--"]
    environment = dict(os.environ, MORVID_TEST_HTTP_URL=server.url, MORVID_TEST_UNTRUSTED_HTTPS_URL=untrusted.url)
    try:
        return subprocess.run(command, env=environment, timeout=args.timeout).returncode
    except subprocess.TimeoutExpired:
        print("rangeserver: %s did not end within %.0f s" % (command[0], args.timeout), file=sys.stderr)
        return 124
    finally:
        server.shutdown()
        untrusted.shutdown()


if __name__ == "__main__":
    sys.exit(main())
