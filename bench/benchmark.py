#!/usr/bin/env python3
"""Times treeinv against a floor program, sha256sum and rhash on a big, a small and a deep tree.

Usage: scripts/benchmark [--runs N] [--dir DIR] [--keep] [--baseline EXE] [--quick]  (which installs what this
needs first)

The trees are built once in a temporary folder (about 1.2 GiB), every command runs once to warm the page cache and
to count the files it hashed, then the commands take turns for N runs each. Printed: the median wall time of each,
its ratio to the floor and to rhash, and its peak memory (maximum resident set size). A command that hashed fewer
files than the tree holds (rhash stops 63 folders down) or failed is left out of that tree's timing, since its
time would be that of a smaller job, and its row says so in words, with the reason from its last error line. What
the commands print themselves never reaches the terminal. Every command runs with the soft limit on open files
raised to the hard one, as treeinv raises its own: the floor keeps a folder open per level. The floor and treeinv
also run pinned to one core, as on a machine whose other cores are busy; --baseline adds another build of
treeinv, such as an earlier one. `treeinv --check` is timed on the same trees, against the inventory; on the deep
tree treeinv also runs with a busy loop on every core; and `treeinv --compare` is timed on two made-up inventories
of a million files each. --quick makes small trees and runs once, to try the script in seconds. Progress
goes to standard error, the tables to standard output. The trees are removed at the end, also when the script is
interrupted or terminated, unless --keep.
"""
import argparse
import contextlib
import os
import random
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1024 * 1024
DEEP_LEVELS = 1900


def say(text):
    print("benchmark: " + text, file=sys.stderr, flush=True)


def build(work):
    """Builds treeinv where scripts/benchmark says (the other scripts' build folder) and the floor into WORK."""
    build_dir = os.environ.get("TREEINV_BUILD_DIR") or os.path.join(ROOT, "build")
    floor = os.path.join(work, "floor")
    for command in (["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release"],
                    ["cmake", "--build", build_dir, "--target", "treeinv", "-j2"],
                    ["g++", "-O2", "-std=c++17", os.path.join(ROOT, "bench", "floor.cpp"), "-o", floor, "-lcrypto"]):
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            sys.stderr.write(result.stdout)
            sys.exit("benchmark: %s failed with status %d" % (" ".join(command), result.returncode))
    return os.path.join(build_dir, "treeinv"), floor


def make_big_tree(path, mib_per_file):
    os.makedirs(path)
    chunk = os.urandom(MIB)
    for i in range(4):
        with open(os.path.join(path, "big%d.bin" % i), "wb") as out:
            for j in range(mib_per_file):
                out.write(bytes([i, j % 256]) + chunk[2:])


def make_small_tree(path, folders):
    generator = random.Random(20000)
    pool = os.urandom(16 * 1024)
    for folder in range(folders):
        folder_path = os.path.join(path, "dir%03d" % (folder // 20), "sub%03d" % folder)
        os.makedirs(folder_path)
        for i in range(50):
            size = generator.randint(0, 16 * 1024)
            with open(os.path.join(folder_path, "file%02d.dat" % i), "wb") as out:
                out.write(pool[:size])


def make_deep_tree(path, levels=DEEP_LEVELS):
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


def measure(command, cwd, report, output=subprocess.DEVNULL, errors=subprocess.DEVNULL):
    """Runs a shell command, its output going to OUTPUT and ERRORS; returns its wall time in seconds, its peak
    memory in KiB and its exit status."""
    # GNU time measures the peak memory: a child forked from this interpreter would inherit its high-water mark.
    start = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, "sh", "-c", command], cwd=cwd,
                            stdout=output, stderr=errors)
    elapsed = time.perf_counter() - start
    with open(report) as lines:
        return elapsed, int(lines.read().split()[-1]), result.returncode


def last_error(path):
    """The reason a command gave in the last line it wrote to PATH, its standard error, in words: "too many open
    files" for "./d/d/d: Too many open files". None if it wrote nothing."""
    with open(path, "rb") as text:
        lines = [line.strip() for line in text.read().decode("utf-8", "replace").splitlines() if line.strip()]
    if not lines:
        return None
    # The reason follows the last ": ", after the program's name and the path.
    reason = lines[-1].rsplit(": ", 1)[-1].rstrip(".")
    if len(reason) > 60:
        reason = reason[:57] + "..."
    return reason[:1].lower() + reason[1:]


def trouble(status, hashed, files, errors):
    """What went wrong in a run that exited with STATUS, hashed HASHED of FILES files and wrote ERRORS on standard
    error, in words for its row; None if nothing did."""
    reason = last_error(errors)
    if hashed is not None and hashed < files:
        words = "stopped after %s of %s files" % (format(hashed, ","), format(files, ","))
    elif status != 0:
        words = "failed with status %d" % status
        status = 0
    else:
        return None
    if reason:
        return words + ": " + reason
    return words + (", status %d" % status if status != 0 else "")


def count_lines(path):
    with open(path, "rb") as lines:
        return sum(1 for _ in lines)


def count_files(tree):
    """The regular files in TREE, by find, which walks any depth."""
    return len(subprocess.run(["find", ".", "-type", "f", "-printf", "."], cwd=tree, check=True,
                              stdout=subprocess.PIPE).stdout)


def hashed_files(name, tree, output):
    """How many files command NAME hashed in its last run in TREE, by what it left: sha256sum and rhash print a
    line per file, treeinv lists each in patchlist.txt, and the floor prints the number last. None when the floor
    printed nothing."""
    if name.startswith("floor"):
        with open(output) as text:
            words = text.read().split()
        return int(words[-1]) if words else None
    if name.startswith("check"):
        return None
    if name.startswith(("treeinv", "baseline")):
        return count_lines(os.path.join(tree, "patchlist.txt"))
    return count_lines(output)


def make_inventories(path, files):
    """Two inventories of FILES files each in PATH/old and PATH/new, as a later build of a game would differ from
    an earlier one: a few files changed, moved, gone and added."""
    generator = random.Random(files)
    digests = ["%064x" % generator.getrandbits(256) for _ in range(files)]
    paths = ["data%03d/sub%03d/file%07d.dat" % (i % 997, i % 101, i) for i in range(files)]
    for name, changes in (("old", None), ("new", files // 100)):
        os.makedirs(os.path.join(path, name))
        lines = list(zip(paths, digests))
        if changes:
            for i in range(0, changes * 4, 4):
                lines[i] = (lines[i][0], "%064x" % generator.getrandbits(256))
                lines[i + 1] = ("moved/" + lines[i + 1][0], lines[i + 1][1])
            del lines[2:changes * 4:4]
            lines += [("added/file%07d.dat" % i, "%064x" % generator.getrandbits(256)) for i in range(changes)]
        folders = sorted({line[0].rsplit("/", 1)[0] for line in lines})
        with open(os.path.join(path, name, "folders.txt"), "w", newline="") as out:
            out.writelines("%s\\\r\n" % folder.replace("/", "\\") for folder in folders)
        with open(os.path.join(path, name, "patchlist.txt"), "w", newline="") as out:
            out.writelines("%s %s\r\n" % line for line in lines)


def busy_if(name):
    """Every core busy while a command whose name says so runs."""
    return BusyCores() if name.endswith(" busy") else contextlib.nullcontext()


class BusyCores:
    """A busy loop on every core while it lasts."""

    def __enter__(self):
        self.loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(os.cpu_count())]

    def __exit__(self, *_):
        for loop in self.loops:
            loop.kill()
            loop.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--dir", help="where to build the trees (default: a new temporary folder)")
    parser.add_argument("--keep", action="store_true", help="keep the trees afterwards")
    parser.add_argument("--baseline", help="another treeinv executable to time beside this one")
    parser.add_argument("--quick", action="store_true", help="small trees and one run, to try the script")
    args = parser.parse_args()
    # Terminated or hung up, the script still removes its trees on the way out, as for Ctrl-C.
    for stop in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop, lambda number, _: sys.exit(128 + number))
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard and hard != resource.RLIM_INFINITY:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if args.quick:
        args.runs = 1
    big_mib, small_folders = (1, 8) if args.quick else (256, 400)

    work = tempfile.mkdtemp(prefix="treeinv-bench-", dir=args.dir)
    try:
        commands = {"floor": None, "treeinv": None, "sha256sum": "find . -type f -print0 | xargs -0 sha256sum",
                    "rhash": "rhash --sha256 -r .", "floor@1": None, "treeinv@1": None, "check": None,
                    "check@1": None}
        if args.baseline:
            commands.update({"baseline": None, "baseline@1": None})
        # Files take their size in blocks of 4 KiB; folders a block each.
        space = 4 * big_mib * MIB + small_folders * 50 * 12 * 1024 + 2 * DEEP_LEVELS * 4096
        seconds = 30 if args.quick else 40 + 15 * (args.runs + 2)
        say("builds treeinv and the floor, makes three trees in %s (%s, removed at the end), and times %d commands "
            "%d times on each: about %s" % (work, "%.1f GiB" % (space / 1024 / MIB) if space > 1024 * MIB else
                                           "%d MiB" % (space / MIB), len(commands), args.runs + 1,
                                           "%d seconds" % seconds if seconds < 90 else
                                           "%d minutes" % round(seconds / 60)))
        free = shutil.disk_usage(work).free
        if free < space * 1.1:
            sys.exit("benchmark: %s has %.2f GiB free, too little for the trees" % (work, free / 1024 / MIB))

        say("building treeinv (under a minute the first time) and the floor")
        treeinv, floor = build(work)
        for name, program in (("floor", floor), ("treeinv", treeinv), ("baseline", args.baseline)):
            if program:
                program = os.path.abspath(program)
                commands[name] = "exec " + program
                commands[name + "@1"] = "exec taskset -c 0 " + program
        commands["check"] = commands["treeinv"] + " --check"
        commands["check@1"] = commands["treeinv@1"] + " --check"

        trees = [("big (4 x %d MiB)" % big_mib, "big", lambda path: make_big_tree(path, big_mib)),
                 ("small (%s files, %d folders)" % (format(small_folders * 50, ","), small_folders), "small",
                  lambda path: make_small_tree(path, small_folders)),
                 ("deep (%s levels, a file in each)" % format(DEEP_LEVELS, ","), "deep", make_deep_tree)]
        for title, folder, make in trees:
            say("making the %s tree" % title)
            make(os.path.join(work, folder))
        os.sync()

        print("treeinv against a floor, sha256sum and rhash: medians of %d run%s with warm caches, %d cores."
              % (args.runs, "" if args.runs == 1 else "s", os.cpu_count()))
        print("floor: bench/floor.cpp, the least any tool must do: it reads every file into SHA-256, nothing else.")
        print("x floor, x rhash: the command's time over theirs. NAME@1 runs pinned to one core, against floor@1.")
        report = os.path.join(work, "time.txt")
        output = os.path.join(work, "output.txt")
        errors = os.path.join(work, "errors.txt")
        for title, folder, _ in trees:
            tree = os.path.join(work, folder)
            # A chain of small folders gives threads nothing to do; they must not cost it either, on a busy machine.
            tree_commands = dict(commands)
            if folder == "deep":
                tree_commands.update({"treeinv busy": commands["treeinv"], "treeinv@1 busy": commands["treeinv@1"]})
            # treeinv first, so that the lists it writes into the tree are there for every command to count.
            measure(commands["treeinv"], tree, report)
            files = count_files(tree)
            # Once each to warm the cache and see that the command hashed every file.
            left_out = {}
            for name, command in tree_commands.items():
                with open(output, "wb") as out, open(errors, "wb") as err, busy_if(name):
                    elapsed, _, status = measure(command, tree, report, out, err)
                problem = trouble(status, hashed_files(name, tree, output), files, errors)
                if problem:
                    left_out[name] = problem
                    say("%s tree: %s %s; left out of the timing" % (folder, name, problem))
                else:
                    say("%s tree: %s took %.2f s, warming up" % (folder, name, elapsed))
            timed = [name for name in tree_commands if name not in left_out]
            times = {name: [] for name in timed}
            memory = {name: 0 for name in timed}
            for run in range(args.runs):
                start = time.perf_counter()
                for name in timed:
                    with open(errors, "wb") as err, busy_if(name):
                        elapsed, peak, status = measure(tree_commands[name], tree, report, errors=err)
                    if status != 0:
                        sys.exit("benchmark: %s tree, run %d: %s %s"
                                 % (folder, run + 1, name, trouble(status, None, files, errors)))
                    times[name].append(elapsed)
                    memory[name] = max(memory[name], peak)
                say("%s tree: run %d of %d took %.1f s" % (folder, run + 1, args.runs, time.perf_counter() - start))
            medians = {name: statistics.median(values) for name, values in times.items()}
            print("\n%s: %s files" % (title, format(files, ",")))
            print("  %-14s %6s %9s %9s %10s" % ("command", "seconds", "x floor", "x rhash", "peak MiB"))

            def ratio(name, to):
                return "%9.2f" % (medians[name] / medians[to]) if to in medians else "%9s" % "-"

            for name in tree_commands:
                if name in left_out:
                    print("  %-14s %s" % (name, left_out[name]))
                    continue
                # Pinned commands compare with the pinned floor.
                floor_name = "floor@1" if "@1" in name else "floor"
                print("  %-14s %6.3f %s %s %10.1f" % (name, medians[name], ratio(name, floor_name),
                                                      ratio(name, "rhash"), memory[name] / 1024))
            print("  check / treeinv: %s, on one core %s" % (ratio("check", "treeinv").strip(),
                                                            ratio("check@1", "treeinv@1").strip()))
            if folder == "deep":
                print("  treeinv / treeinv@1: %s quiet, %s with every core busy"
                      % (ratio("treeinv", "treeinv@1").strip(), ratio("treeinv busy", "treeinv@1 busy").strip()))
            sys.stdout.flush()

        inventories = os.path.join(work, "inventories")
        compared = 10000 if args.quick else 1000000
        say("making two inventories of %s files each" % format(compared, ","))
        make_inventories(inventories, compared)
        runs = []
        for _ in range(args.runs):
            elapsed, peak, status = measure(commands["treeinv"] + " --compare old new", inventories, report)
            if status != 1:
                sys.exit("benchmark: treeinv --compare ended with status %d, not 1" % status)
            runs.append(elapsed)
        print("\ncompare (two inventories of %s files, 1%% changed, moved, gone and added): median %.2f s, "
              "peak %.1f MiB" % (format(compared, ","), statistics.median(runs), peak / 1024))
    finally:
        if args.keep:
            print("\ntrees kept in %s" % work)
        else:
            # rm, not shutil.rmtree, which recurses once per level and gives up in the deep tree.
            subprocess.run(["rm", "-rf", work], check=False)


if __name__ == "__main__":
    main()
