#!/usr/bin/env python3
"""morvid with the real-world data sets served over HTTP by tests/support/rangeserver.py: every
data set gives the same `info --json` and the same `render` picture from its URL as from its
folder. Every program run ends within a bounded time.

usage: http_host_test.py <wine-run> <morvid.exe> <realworld folder> <output folder>
"""

import glob
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import rangeserver  # noqa: E402

RUN_TIMEOUT = 300
RENDER = ["--width", "160", "--height", "120", "--timeout", "60", "--json"]


class Morvid:
    def __init__(self, runner, executable, out):
        self.command = [runner, executable]
        self.out = out
        self.failures = 0

    def run(self, *arguments):
        """Exit status, the last JSON line of standard output (or None) and standard error."""
        done = subprocess.run(self.command + list(arguments), capture_output=True, text=True, timeout=RUN_TIMEOUT)
        lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
        return done.returncode, json.loads(lines[-1]) if lines else None, done.stderr

    def render(self, source, name, *extra):
        """What `run` returns, and the bytes of the picture written."""
        output = os.path.join(self.out, name + ".png")
        if os.path.exists(output):
            os.remove(output)
        result = self.run("render", source, *RENDER, "--output", output, *extra)
        picture = open(output, "rb").read() if os.path.exists(output) else None
        return result, picture

    def check(self, condition, message):
        print(("ok   " if condition else "FAIL ") + message, flush=True)
        self.failures += 0 if condition else 1


def described(report):
    """What `info --json` says of the data, without where it came from or how long it took."""
    if report is None:
        return None
    kept = {key: value for key, value in report.items() if key != "input" and "seconds" not in key}
    kept["failed_nodes"] = sorted(failure["node"] for failure in kept.get("failed_nodes", []))
    return kept


def same_as_disk(morvid, root, base_url):
    data_sets = sorted(os.path.relpath(folder, root) for kind in ("potree", "ept")
                       for folder in glob.glob(os.path.join(root, kind, "*")))
    for data_set in data_sets:
        folder, url = os.path.join(root, data_set), "%s/plain/%s" % (base_url, data_set)
        disk_status, disk_info, _ = morvid.run("info", folder, "--json")
        url_status, url_info, url_errors = morvid.run("info", url, "--json")
        morvid.check(disk_status == url_status and described(disk_info) == described(url_info),
                     "%s: info from %s as from disk (exit %d/%d) %s" % (data_set, url, disk_status, url_status,
                                                                       url_errors.strip()))
        name = data_set.replace("/", "-")
        (disk_status, disk_json, _), disk_picture = morvid.render(folder, name + "-disk")
        (url_status, url_json, url_errors), url_picture = morvid.render(url, name + "-http")
        morvid.check(disk_status == url_status and disk_picture is not None and disk_picture == url_picture,
                     "%s: the same picture over HTTP (exit %d/%d) %s" % (data_set, disk_status, url_status,
                                                                         url_errors.strip()))
        if disk_json and url_json:
            morvid.check(all(disk_json[key] == url_json[key] for key in ("points_loaded", "nodes_loaded", "settled"))
                         and disk_json["requests"] == 0 and url_json["requests"] > 0 and url_json["bytes_fetched"] > 0,
                         "%s: %d points in %d nodes, %d requests, %d bytes fetched" % (
                             data_set, url_json["points_loaded"], url_json["nodes_loaded"], url_json["requests"],
                             url_json["bytes_fetched"]))


def main():
    runner, executable, root, out = sys.argv[1:5]
    os.makedirs(out, exist_ok=True)
    server = rangeserver.start(root, log_path=os.path.join(out, "requests.log"))
    morvid = Morvid(runner, executable, out)
    try:
        same_as_disk(morvid, root, server.url)
    finally:
        server.shutdown()
    return 1 if morvid.failures else 0


if __name__ == "__main__":
    sys.exit(main())
