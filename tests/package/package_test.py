"""The installed package, used the way a host uses it.

  install --build B --prefix P      installs the build B into a fresh prefix P, without building
  headers [host project] ...        builds the project that compiles each installed header alone
  host [host project] ...           builds the minimal host against P alone, runs it on a data set
                                    and checks the picture, the point count and the version

A host project is configured from nothing with the library's toolchain and sees only P (and the
Eigen it requires); the compiler cache keeps rebuilds to seconds.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys

import numpy
import open3d

# The Direct3D 11 stack the tests run on under Wine; real Windows has its own.
D3D_DLLS = ["d3d11.dll", "dxgi.dll", "wined3d.dll", "d3dcompiler_47.dll"]
WIDTH, HEIGHT = 640, 480


def run(command, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=840, **options)
    if result.returncode != 0:
        sys.exit(f"failed ({result.returncode}): {' '.join(command)}\n{result.stdout}{result.stderr}")
    return result.stdout


def build_host_project(arguments):
    shutil.rmtree(arguments.work, ignore_errors=True)
    run(["cmake", "-S", arguments.source, "-B", arguments.work, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
         f"-DCMAKE_TOOLCHAIN_FILE={arguments.toolchain}", f"-DCMAKE_CXX_COMPILER_LAUNCHER={arguments.launcher}",
         f"-DMorvidRender_DIR={os.path.join(arguments.prefix, 'lib', 'cmake', 'MorvidRender')}",
         f"-DEigen3_DIR={arguments.eigen}",
         # Without the mingw runtime DLLs next to the program.
         "-DCMAKE_EXE_LINKER_FLAGS=-static"])
    run(["cmake", "--build", arguments.work, "-j2"])


def install(arguments):
    shutil.rmtree(arguments.prefix, ignore_errors=True)
    # What a host needs of the install is checked by the steps that use it.
    run(["cmake", "--install", arguments.build, "--prefix", arguments.prefix])
    print("installed into", arguments.prefix)


def headers(arguments):
    build_host_project(arguments)
    print("every installed header compiles alone")


def package_version(prefix):
    text = open(os.path.join(prefix, "lib", "cmake", "MorvidRender", "MorvidRenderConfigVersion.cmake")).read()
    return re.search(r'set\(PACKAGE_VERSION "([^"]+)"\)', text).group(1)


def host(arguments):
    build_host_project(arguments)
    for dll in D3D_DLLS:
        shutil.copy(os.path.join(arguments.runtime, dll), arguments.work)
    picture_path = os.path.join(arguments.work, "frame.png")
    output = run([arguments.run, os.path.join(arguments.work, "minimal-host.exe"), arguments.data, picture_path])
    print(output, end="")
    failures = []

    version = package_version(arguments.prefix)
    match = re.search(r"MorvidRender (\S+): (\d+) points loaded", output)
    total = json.load(open(os.path.join(arguments.data, "manifest.json")))["points"]
    if not match or match.group(1) != version:
        failures.append(f"the DLL does not report the package's version {version}")
    if not match or not 0 < int(match.group(2)) <= total:
        failures.append(f"the loaded points are not between 1 and the data set's {total}")
    dll = open(os.path.join(arguments.prefix, "bin", "MorvidRender.dll"), "rb").read()
    # The value follows its key after the key's terminator and padding to 32 bits.
    resource = re.escape("FileVersion".encode("utf-16-le")) + b"(?:\0\0)+" + re.escape(version.encode("utf-16-le"))
    if not re.search(resource, dll):
        failures.append(f"the DLL has no version resource with FileVersion {version}")

    picture = numpy.asarray(open3d.io.read_image(picture_path))[:, :, :3].reshape(-1, 3)
    drawn = picture[(picture != 255).any(axis=1)]
    coverage = len(drawn) / len(picture)
    colors = len(numpy.unique(drawn, axis=0))
    print(f"picture: {len(picture)} pixels, {coverage:.2f} drawn in {colors} colors")
    if len(picture) != WIDTH * HEIGHT:
        failures.append(f"the picture is not {WIDTH} x {HEIGHT}")
    # The framed cloud fills much of the frame, in the scan's own colors.
    if coverage < 0.2 or colors < 100:
        failures.append("the picture does not show the cloud")
    if failures:
        sys.exit("; ".join(failures))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("step", choices=["install", "headers", "host"])
    for option in ["build", "prefix", "toolchain", "eigen", "launcher", "source", "work", "run", "runtime", "data"]:
        parser.add_argument("--" + option, default="")
    arguments = parser.parse_args()
    {"install": install, "headers": headers, "host": host}[arguments.step](arguments)


if __name__ == "__main__":
    main()
