#!/usr/bin/env python3
"""Times treeinv against a floor program, sha256sum and rhash on a big, a small and a deep tree.

Usage: scripts/benchmark [--runs N] [--dir DIR] [--keep] [--baseline EXE]  (which installs what this needs first)

The trees are built once in a temporary folder (about 1.2 GiB), every command runs once to warm the page cache,
then the commands take turns for N runs each. Printed: the median wall time of each, its ratio to the floor and
to rhash, and its peak memory (maximum resident set size). The floor and treeinv also run pinned to one core, as
on a machine whose other cores are busy; --baseline adds another build of treeinv, such as an earlier one.
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build(work):
    build_dir = os.path.join(ROOT, "build")
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", "treeinv", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    floor = os.path.join(work, "floor")
    subprocess.run(["g++", "-O2", "-std=c++17", os.path.join(ROOT, "bench", "floor.cpp"), "-o", floor, "-lcrypto"],
                   check=True)
    return os.path.join(build_dir, "treeinv"), floor


def make_big_tree(path):
    os.makedirs(path)
    chunk = os.urandom(1024 * 1024)
    for i in range(4):
        with open(os.path.join(path, "big%d.bin" % i), "wb") as out:
            for j in range(256):
                out.write(bytes([i, j]) + chunk[2:])


def make_small_tree(path):
    generator = random.Random(20000)
    pool = os.urandom(16 * 1024)
    for folder in range(400):
        folder_path = os.path.join(path, "dir%03d" % (folder // 20), "sub%03d" % folder)
        os.makedirs(folder_path)
        for i in range(50):
            size = generator.randint(0, 16 * 1024)
            with open(os.path.join(folder_path, "file%02d.dat" % i), "wb") as out:
                out.write(pool[:size])


def make_deep_tree(path, levels=1900):
    """A chain of folders, one small file in each, as deep as paths for the other commands allow."""
    os.makedirs(path)
    fd = os.open(path, os.O_RDONLY)
    for level in range(levels):
        with open(os.open("f.dat", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as out:
            out.write(b"level %d" % level)
        os.mkdir("d", dir_fd=fd)
        inner = os.open("d", os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = inner
    os.close(fd)


def measure(command, cwd, report):
    """Runs a shell command; returns its wall time in seconds and its peak memory in KiB."""
    # GNU time measures the peak memory: a child forked from this interpreter would inherit its high-water mark.
    start = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, "sh", "-c", command], cwd=cwd,
                            stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit("benchmark: %r failed in %s with status %d" % (command, cwd, result.returncode))
    with open(report) as lines:
        return elapsed, int(lines.read().split()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--dir", help="where to build the trees (default: a new temporary folder)")
    parser.add_argument("--keep", action="store_true", help="keep the trees afterwards")
    parser.add_argument("--baseline", help="another treeinv executable to time beside this one")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="treeinv-bench-", dir=args.dir)
    try:
        treeinv, floor = build(work)
        trees = {"big (4 x 256 MiB)": os.path.join(work, "big"),
                 "small (20,000 files, 400 folders)": os.path.join(work, "small"),
                 "deep (1,900 levels, a file in each)": os.path.join(work, "deep")}
        make_big_tree(trees["big (4 x 256 MiB)"])
        make_small_tree(trees["small (20,000 files, 400 folders)"])
        make_deep_tree(trees["deep (1,900 levels, a file in each)"])
        os.sync()

        commands = {
            "floor": "exec " + floor,
            "treeinv": "exec " + treeinv,
            "sha256sum": "find . -type f -print0 | xargs -0 sha256sum",
            "rhash": "rhash --sha256 -r .",
            "floor@1": "exec taskset -c 0 " + floor,
            "treeinv@1": "exec taskset -c 0 " + treeinv,
        }
        if args.baseline:
            baseline = os.path.abspath(args.baseline)
            commands["baseline"] = "exec " + baseline
            commands["baseline@1"] = "exec taskset -c 0 " + baseline
        print("%d runs each, medians; cores: %d; NAME@1 runs on one core" % (args.runs, os.cpu_count()))
        for tree_name, tree in trees.items():
            times = {name: [] for name in commands}
            memory = {name: 0 for name in commands}
            report = os.path.join(work, "time.txt")
            for name, command in commands.items():
                measure(command, tree, report)
            for _ in range(args.runs):
                for name, command in commands.items():
                    elapsed, peak = measure(command, tree, report)
                    times[name].append(elapsed)
                    memory[name] = max(memory[name], peak)
            medians = {name: statistics.median(values) for name, values in times.items()}
            print("\n%s" % tree_name)
            print("  %-11s %9s %9s %9s %10s" % ("command", "seconds", "x floor", "x rhash", "peak MiB"))
            for name in commands:
                # Pinned commands compare with the pinned floor.
                floor_name = "floor@1" if name.endswith("@1") else "floor"
                print("  %-11s %9.3f %9.2f %9.2f %10.1f" % (name, medians[name], medians[name] / medians[floor_name],
                                                             medians[name] / medians["rhash"], memory[name] / 1024))
    finally:
        if args.keep:
            print("\ntrees kept in %s" % work)
        else:
            # rm, not shutil.rmtree, which recurses once per level and gives up in the deep tree.
            subprocess.run(["rm", "-rf", work], check=False)


if __name__ == "__main__":
    main()
