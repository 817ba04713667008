#!/usr/bin/env python3
"""morvid with the real-world data sets served over HTTP by tests/support/rangeserver.py: every
data set gives the same `info --json` and the same `render` picture from its URL as from its
folder, and each fault the server injects leaves a settled picture of everything but the failing
node, whose URL the log names once. Every program run ends within a bounded time.

usage: http_host_test.py same|faults <wine-run> <morvid.exe> <realworld folder> <output folder>
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


def ept_subtree_points(folder, key):
    """Points of an Entwine node and of every node below it, from the hierarchy pages."""
    counts = {}
    for page in glob.glob(os.path.join(folder, "ept-hierarchy", "*.json")):
        counts.update(json.load(open(page)))
    depth, *cell = map(int, key.split("-"))

    def below(other):
        other_depth, *other_cell = map(int, other.split("-"))
        shift = other_depth - depth
        return shift >= 0 and [c >> shift for c in other_cell] == cell

    return sum(count for other, count in counts.items() if count > 0 and below(other))


# Scenario of rangeserver.py, data set, the file that fails for good (None when retries or reading
# the file whole recover everything), and what the log says about it.
FAULTS = [
    ("node-404", "ept/lone-star-laszip", "ept-data/2-2-2-1.laz", "HTTP status 404"),
    ("short-body", "ept/lone-star-laszip", "ept-data/2-2-2-1.laz", "the body ended after"),
    ("node-500", "ept/lone-star-laszip", "ept-data/1-0-0-0.laz", "HTTP status 500 after 4 attempts"),
    ("node-wrong-range", "potree/lone-star-default", "octree.bin", "the server sent Content-Range"),
    ("node-500-once", "ept/lone-star-laszip", None, None),
    ("drop-once", "potree/lone-star-default", None, None),
    ("ignore-range", "potree/lone-star-default", None, "the server ignores Range requests"),
]


def faults(morvid, root, base_url):
    from_disk = {}
    for scenario, data_set, failing, said in FAULTS:
        folder, url = os.path.join(root, data_set), "%s/%s/%s" % (base_url, scenario, data_set)
        if data_set not in from_disk:
            from_disk[data_set] = morvid.render(folder, data_set.replace("/", "-") + "-disk")
        (_, disk_json, _), disk_picture = from_disk[data_set]
        (status, served_json, errors), picture = morvid.render(url, scenario)
        log = [line for line in errors.splitlines() if not line.startswith("morvid render:")]
        if failing is None:
            morvid.check(status == 0 and served_json["settled"] and picture == disk_picture,
                         "%s: the same picture as from disk (exit %d) %s" % (scenario, status, errors.strip()))
        else:
            failing_url = "%s/%s" % (url, failing)
            loaded, all_points = served_json["points_loaded"], disk_json["points_loaded"]
            if data_set.startswith("ept/"):
                expected = loaded == all_points - ept_subtree_points(folder, os.path.basename(failing)[:-len(".laz")])
            else:
                expected = 0 < loaded < all_points
            morvid.check(status == 1 and served_json["settled"] and picture is not None and expected
                         and sum(failing_url in line for line in log) == 1,
                         "%s: settled without %s, %d points of %d (exit %d) %s" % (
                             scenario, failing, loaded, all_points, status, errors.strip()))
        if said:
            saying = [line for line in log if said in line]
            morvid.check(len(saying) == len(set(saying)) > 0, "%s: the log says '%s' once per file" % (scenario, said))


def main():
    part, runner, executable, root, out = sys.argv[1:6]
    os.makedirs(out, exist_ok=True)
    server = rangeserver.start(root, log_path=os.path.join(out, "requests-%s.log" % part))
    morvid = Morvid(runner, executable, out)
    try:
        {"same": same_as_disk, "faults": faults}[part](morvid, root, server.url)
    finally:
        server.shutdown()
    return 1 if morvid.failures else 0


if __name__ == "__main__":
    sys.exit(main())
