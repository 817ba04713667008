"""Reads the PLY files that morvid export and morvid query wrote with Open3D, a reader of other
makers, and compares them with the text files written alongside: the same points in the same
order, positions in the data set's own coordinates, red first.

usage: plyreader_open3d_test.py <file.ply> <file.txt> [<file.ply> <file.txt> ...]
"""
import sys

import numpy
import open3d


def read_text_points(path):
    with open(path) as file:
        header = file.readline().split()
        assert header == ["X", "Y", "Z", "Red", "Green", "Blue", "Alpha"], f"{path}: header {header}"
        rows = [line.split() for line in file]
    positions = numpy.array([[float(value) for value in row[:3]] for row in rows], dtype=numpy.float64)
    colors = numpy.array([[int(value) for value in row[3:6]] for row in rows], dtype=numpy.float64) / 255.0
    return positions.reshape(-1, 3), colors.reshape(-1, 3)


def check(ply_path, text_path):
    cloud = open3d.io.read_point_cloud(ply_path, format="ply")
    positions, colors = read_text_points(text_path)
    read_positions = numpy.asarray(cloud.points)
    read_colors = numpy.asarray(cloud.colors)
    problems = []
    if len(positions) == 0:
        problems.append("the record holds no points")
    if read_positions.shape != positions.shape:
        problems.append(f"{len(read_positions)} points, the record has {len(positions)}")
    elif not numpy.array_equal(read_positions, positions):
        worst = numpy.abs(read_positions - positions).max()
        problems.append(f"positions differ from the record by up to {worst}")
    if read_colors.shape != colors.shape:
        problems.append(f"{len(read_colors)} colors, the record has {len(colors)}")
    elif numpy.abs(read_colors - colors).max() > 1e-6:
        problems.append("colors differ from the record (channels swapped?)")
    # A check that swapped channels would pass only if every point were gray.
    if len(colors) and numpy.abs(colors[:, 0] - colors[:, 2]).max() == 0.0:
        problems.append("every point is gray: the colors cannot show their channel order")
    for problem in problems:
        print(f"{ply_path}: {problem}")
    if not problems:
        print(f"{ply_path}: {len(positions)} points, positions and colors as recorded "
              f"(first {positions[0].tolist()} rgb {(colors[0] * 255).round().astype(int).tolist()})")
    return not problems


def main(arguments):
    if len(arguments) < 2 or len(arguments) % 2:
        print(__doc__)
        return 2
    results = [check(arguments[i], arguments[i + 1]) for i in range(0, len(arguments), 2)]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
