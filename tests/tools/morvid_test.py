"""End-to-end checks of morvid on real data, by the pictures, numbers and messages it writes.

capabilities: deviation pictures against a distance mesh, a panorama made from a cloud and drawn
among its points, data sets sharing a point budget, every mode and color map, the points export and
query write, and one-line refusals of bad option values. http_same, http_faults: the data sets served
by tests/support/rangeserver.py give the same `info --json` and `render` picture from their URL as
from their folder, and each fault the server injects leaves a settled picture of all but the failing
node, whose URL the log names once. Every program run ends within a bounded time.

usage: morvid_test.py capabilities|http_same|http_faults <wine-run> <morvid.exe> <realworld folder> <output>
"""
import glob
import json
import os
import re
import subprocess
import sys

import numpy
import open3d

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import rangeserver  # noqa: E402

# The level surface of this OBJ file lies at this height; autzen-trim's points lie 406 to 521 feet up.
LEVEL_MESH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "autzen-level-420.obj")
LEVEL = 420.0
# A view from above the middle of autzen-trim, in the data set's own coordinates.
EYE = "636590,849216,1400"
TARGET = "636590,849217,420"
STATION = "636590,849216,480"
SIZE = ["--width", "160", "--height", "120"]
RENDER = ["--width", "160", "--height", "120", "--timeout", "60", "--json"]


class Morvid:
    def __init__(self, runner, executable, out):
        self.command = [runner, executable]
        self.out = out
        self.failures = 0

    def run(self, *arguments):
        return subprocess.run(self.command + list(arguments), capture_output=True, text=True, timeout=900)

    def json(self, *arguments):
        """The report of a command that must succeed."""
        result = self.run(*arguments, "--json")
        if result.returncode != 0:
            raise AssertionError(f"morvid {' '.join(arguments)} failed: {result.stderr.strip()}")
        return json.loads(result.stdout)

    def outcome(self, *arguments):
        """Exit status, the last JSON line of standard output (or None) and standard error."""
        done = self.run(*arguments)
        lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
        return done.returncode, json.loads(lines[-1]) if lines else None, done.stderr

    def render(self, source, name, *extra):
        """What `outcome` returns, and the bytes of the picture written."""
        output = os.path.join(self.out, name + ".png")
        if os.path.exists(output):
            os.remove(output)
        result = self.outcome("render", source, *RENDER, "--output", output, *extra)
        picture = open(output, "rb").read() if os.path.exists(output) else None
        return result, picture

    def check(self, condition, message):
        print(("ok   " if condition else "FAIL ") + message, flush=True)
        self.failures += 0 if condition else 1


def picture(path):
    return numpy.asarray(open3d.io.read_image(path))[:, :, :3].astype(int)


def deviation(morvid, data, out):
    autzen = os.path.join(data, "potree", "autzen-trim-brotli")
    view = [autzen, *SIZE, "--eye", EYE, "--target", TARGET, "--background", "0,0,0"]
    plain = os.path.join(out, "autzen-colors.png")
    inside = os.path.join(out, "autzen-deviation.png")
    outside = os.path.join(out, "autzen-deviation-out-of-range.png")
    morvid.json("render", *view, "--output", plain)
    deviate = ["--mode", "mesh-distance", "--distance-mesh", LEVEL_MESH, "--distance-color-map", "turbo"]
    morvid.json("render", *view, *deviate, "--distance-range", "-10,100", "--output", inside)
    morvid.json("render", *view, *deviate, "--distance-range", "500,600", "--output", outside)
    colors, deviations, untouched = picture(plain), picture(inside), picture(outside)
    drawn = colors.sum(axis=2) > 0
    changed = numpy.abs(deviations - colors).sum(axis=2) > 30
    morvid.check(drawn.mean() > 0.3, f"the view from the eye shows autzen ({drawn.mean():.0%} of the pixels)")
    morvid.check(changed[drawn].mean() > 0.9,
                 f"distances in range recolor {changed[drawn].mean():.0%} of the drawn pixels")
    morvid.check(numpy.array_equal(untouched, colors), "points out of the distance range keep their colors")
    # Pick the deviation under the middle of the picture: it is the point's height above the level.
    picked = morvid.json("pick", *view, *deviate, "--pixel", "80,60", "--tolerance", "3")
    x, y, z = picked["point"]
    morvid.check(636001 <= x <= 637180 and 848935 <= y <= 849498,
                 f"the picked point {x:.2f}, {y:.2f}, {z:.2f} is in the data set's coordinates")
    # The level is an open surface: only the size of the distance is defined, not its side.
    morvid.check(abs(abs(picked["mesh_distance"]) - abs(z - LEVEL)) < 0.01,
                 f"its distance to the level mesh is its height above it: {picked['mesh_distance']:.3f}")


def panorama_from_cloud(morvid, data, out):
    autzen = os.path.join(data, "potree", "autzen-trim-brotli")
    folder = os.path.join(out, "autzen-panorama")
    made = morvid.run("panorama", "make", "--from-cloud", autzen, "--station", STATION, folder)
    morvid.check(made.returncode == 0, f"panorama make --from-cloud: {(made.stdout or made.stderr).strip()}")
    alone = os.path.join(out, "autzen-panorama.png")
    together = os.path.join(out, "autzen-panorama-with-cloud.png")
    shown = morvid.json("panorama", folder, "--pitch", "-30", "--output", alone)
    morvid.check(shown["state"] == "finished", "the panorama loads")
    drawn = (picture(alone).sum(axis=2) > 0).mean()
    morvid.check(drawn > 0.3, f"the panorama shows the ground around the station ({drawn:.0%} of the pixels)")
    with_cloud = morvid.json("panorama", folder, "--pitch", "-30", "--cloud", autzen, "--output", together)["cloud"]
    morvid.check(with_cloud["both_pixels"] > 0.3 * 640 * 480 and with_cloud["depth_agreement"] > 0.8,
                 f"panorama and points agree in depth on {with_cloud['depth_agreement']:.1%} "
                 f"of {with_cloud['both_pixels']} pixels")


def shared_budget(morvid, data, out):
    first = os.path.join(data, "potree", "autzen-trim-brotli")
    second = os.path.join(data, "potree", "autzen-trim-default")
    budget = 150000
    run = morvid.json("render", first, second, *SIZE, "--budget", str(budget), "--output",
                      os.path.join(out, "two-clouds.png"))
    loaded = [cloud["points_loaded"] for cloud in run["clouds"]]
    morvid.check(len(loaded) == 2 and min(loaded) > 0, f"both data sets are drawn: {loaded} points")
    morvid.check(sum(loaded) <= budget and run["points_loaded"] == sum(loaded),
                 f"together within the budget of {budget}")


MODES = ["default", "tomographic-dark", "tomographic-bright", "normals", "plane-distance", "intensity", "uniform",
         "mesh-distance", "classification"]
MAPS = ["turbo", "inferno", "magma", "viridis", "plasma", "gray", "bone", "red-white-blue", "level-of-accuracy",
        "pass-fail", "traffic-light", "cool-warm", "level-of-accuracy-imperial"]


def every_mode_and_map(morvid, data, out):
    autzen = os.path.join(data, "potree", "autzen-trim-brotli")
    pictures = {}
    for index, color_map in enumerate(MAPS):
        mode = MODES[index % len(MODES)]
        path = os.path.join(out, f"mode-{mode}-{color_map}.png")
        run = morvid.json("render", autzen, "--width", "64", "--height", "48", "--mode", mode, "--color-map",
                          color_map, "--distance-color-map", color_map, "--distance-mesh", LEVEL_MESH,
                          "--distance-range", "0,100", "--background", "0,0,0", "--output", path)
        morvid.check(run["settled"] and run["points_loaded"] > 0, f"--mode {mode} --color-map {color_map}")
        pictures.setdefault(mode, picture(path))
    # Modes that color by an attribute every data set has look unlike the points' own colors.
    recolored = [mode for mode in ["plane-distance", "intensity", "uniform", "mesh-distance", "classification"]
                 if not numpy.array_equal(pictures[mode], pictures["default"])]
    morvid.check(len(recolored) == 5, f"these modes recolor the points: {recolored}")


def written_points(morvid, data, out):
    """export and query write the same points as PLY and as text: Open3D reads the PLY files as the
    same points in the same order, positions in the data set's own coordinates, red first."""
    exported = morvid.json("export", os.path.join(data, "potree", "autzen-trim-brotli"), *SIZE,
                           "--png", os.path.join(out, "export.png"), "--ply", os.path.join(out, "export.ply"),
                           "--points", os.path.join(out, "export.txt"))
    morvid.check(exported["settled"] and exported["points_exported"] > 0,
                 f"export wrote {exported['points_exported']} points")
    for extension in ["ply", "txt"]:
        queried = morvid.json("query", os.path.join(data, "potree", "autzen-trim-default"), "--max-level", "2",
                              "--output", os.path.join(out, "autzen-query." + extension))
        morvid.check(queried["nodes_per_level"] == [1, 2, 8] and queried["points"] == 43910,
                     f"query to .{extension}: {queried['points']} points in {queried['nodes_per_level']}")
    for name in ["export", "autzen-query"]:
        cloud = open3d.io.read_point_cloud(os.path.join(out, name + ".ply"), format="ply")
        with open(os.path.join(out, name + ".txt")) as text:
            header = text.readline().split()
        rows = numpy.loadtxt(os.path.join(out, name + ".txt"), skiprows=1, ndmin=2)
        positions, colors = numpy.asarray(cloud.points), numpy.asarray(cloud.colors)
        # Colors that were all gray could not show their channel order.
        morvid.check(header == ["X", "Y", "Z", "Red", "Green", "Blue", "Alpha"] and len(rows) > 0
                     and positions.shape == rows[:, :3].shape and numpy.array_equal(positions, rows[:, :3])
                     and colors.shape == rows[:, 3:6].shape and abs(colors - rows[:, 3:6] / 255).max() < 1e-6
                     and numpy.abs(rows[:, 3] - rows[:, 5]).max() > 0,
                     f"{name}.ply: {len(positions)} points as {name}.txt, first {rows[0].tolist()}")


def refusals(morvid, data, out):
    autzen = os.path.join(data, "potree", "autzen-trim-brotli")
    conifer = os.path.join(data, "potree", "mixed-conifer-brotli")
    las = os.path.join(data, "las", "autzen-trim.las")
    missing = os.path.join(out, "no-such-folder")
    mesh = os.path.join(data, "obj", "cornell-box", "cornell_box.obj")
    # Exit status 2 for a usage error, 1 for a failure, both found before any work: one line on stderr
    # matching the pattern after "morvid <command>: ".
    cases = [
        (2, ["render", autzen, "--mode", "mesh-distance"], "--mode mesh-distance needs --distance-mesh"),
        (2, ["render", autzen, "--distance-color-map", "sepia"],
         "unknown value 'sepia' for --distance-color-map"),
        (2, ["render", autzen, "--distance-range", "5,1"],
         "--distance-range expects a,b with a < b, not '5,1'"),
        (2, ["render", autzen, "--warn-range", "1"], "--warn-range expects two numbers as a,b"),
        (2, ["render", "--intensity-range", "9,3"], "--intensity-range expects a,b .*'9,3'"),
        (2, ["render", "--clip-box", "1,1,1,0,0,0"], "--clip-box minimum must not exceed its maximum"),
        (2, ["render", "--mode", "sepia"],
         r"unknown value 'sepia' for --mode \(valid: default, tomographic-dark, .*plane-distance[^)]*\)"),
        (2, ["render", "--edl", "--no-edl"], "--edl and --no-edl exclude each other"),
        (2, ["render", "--edl-radius", "0"], "--edl-radius must be a number of pixels above 0"),
        (2, ["render", autzen, "--fov", "200"], "--fov must lie between 0 and 180 degrees"),
        (2, ["render", autzen, "--eye", "1,2,3", "--target", "1,2,3"], "--eye and --target must differ"),
        (2, ["render", autzen, "--budget", "0"], "--budget must be at least 1 point"),
        (2, ["render", conifer, "--mesh", mesh, "--mesh-scale", "0"], "--mesh-scale must be a positive number"),
        (1, ["render", autzen, *SIZE, "--mesh", las], "autzen-trim.las\" is not an OBJ mesh"),
        (1, ["render", autzen, *SIZE, "--mode", "mesh-distance", "--distance-mesh", las], "autzen-trim.las"),
        (1, ["render", conifer, "--mesh", os.path.join(out, "no-such-mesh.obj")],
         "TinyObjReader: .*no-such-mesh.obj"),
        (1, ["render", os.path.join(data, "las", "mixed-conifer.las")],
         "'[^']*mixed-conifer.las' is a LAS file, not a data set: run 'morvid convert "),
        (1, ["render", conifer, "-o", os.path.join(missing, "frame.png")],
         "cannot write '[^']*/no-such-folder/frame.png': the folder '[^']*/no-such-folder' does not exist"),
        (2, ["query", conifer, "-o", "points.las.gz"],
         "cannot write 'points.las.gz': the name must end in .las, .ply, .txt"),
        (2, ["query", conifer, "--box", "1,2,3"], "option --box expects six numbers as .*'1,2,3'"),
        (2, ["export", autzen], "expects at least one of --png, --ply and --points"),
        (1, ["export", conifer, *SIZE, "--ply", os.path.join(missing, "points.ply")],
         "cannot write '[^']*/no-such-folder/points.ply': the folder"),
        (2, ["thumbnail"], "expects one data set folder"),
        (1, ["thumbnail", missing, "--output", os.path.join(out, "never.png")], "no-such-folder"),
        (2, ["pick", conifer, "--pixel", "1,1", "--inlier-distance", "2"],
         "option --inlier-distance does not apply to a point pick"),
        (2, ["pick", autzen, *SIZE, "--pixel", "200,10"],
         "--pixel must be whole numbers within the 160 x 120 image, not 200,10"),
        (2, ["panorama", missing, "--rows", "3"], "option --rows does not apply to the view of a panorama"),
        (1, ["panorama", missing], "no-such-folder.*panorama.json\" is missing"),
        (1, ["panorama", "make", *[os.path.join(out, name) for name in ["no-such-image.png", "no-depth.f32", "never"]]],
         "no-such-image.png\" is missing"),
        (2, ["panorama", "make", "--from-cloud", autzen, os.path.join(out, "never")], "needs --station <x,y,z>"),
        (2, ["panorama", "make", "--from-cloud", autzen, "--station", "1,2", os.path.join(out, "never")],
         "--station expects three numbers"),
    ]
    for status, arguments, pattern in cases:
        result = morvid.run(*arguments)
        lines = result.stderr.strip().splitlines()
        morvid.check(result.returncode == status and len(lines) == 1 and
                     re.match(f"morvid {arguments[0]}: .*{pattern}", lines[0]) is not None,
                     f"{' '.join(arguments)}: exit {result.returncode}, {lines}")


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
        disk_status, disk_info, _ = morvid.outcome("info", folder, "--json")
        url_status, url_info, url_errors = morvid.outcome("info", url, "--json")
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
    part, runner, executable, data, out = sys.argv[1:6]
    os.makedirs(out, exist_ok=True)
    morvid = Morvid(runner, executable, out)
    if part == "capabilities":
        for checks in [deviation, every_mode_and_map, panorama_from_cloud, shared_budget, written_points,
                       refusals]:
            checks(morvid, data, out)
    else:
        server = rangeserver.start(data, log_path=os.path.join(out, "requests.log"))
        try:
            {"http_same": same_as_disk, "http_faults": faults}[part](morvid, data, server.url)
        finally:
            server.shutdown()
    return 1 if morvid.failures else 0


if __name__ == "__main__":
    sys.exit(main())
