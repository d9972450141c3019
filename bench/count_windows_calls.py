"""Counts the Windows file-system calls that treeinv.exe makes per file, from Wine's relay trace.

The exe runs twice under WINEDEBUG=+relay, in a folder of 200 small files and in one of 400, and the calls of each
kind are counted in both traces: the difference over the 200 more files is the cost of a file, without what
start-up, the lists and the folder cost once. A call made inside another counted call (GetFileInformationByHandle
asking NtQueryInformationFile, _read's ReadFile asking NtReadFile) is part of that one and not counted again. Only
the calls of the exe's own process count, which is the one that creates patchlist.txt; Wine's services that start
with it are traced too.
Usage: count_windows_calls.py EXE
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

KINDS = {
    "status queries": ["GetFileAttributesExW", "GetFileAttributesW", "NtQueryFullAttributesFile",
                       "NtQueryAttributesFile"],
    "opens": ["CreateFileW", "NtCreateFile", "NtOpenFile"],
    "information queries": ["GetFileInformationByHandle", "GetFileInformationByHandleEx", "GetFileType",
                            "GetFileSizeEx", "NtQueryInformationFile", "NtQueryVolumeInformationFile"],
    "reads": ["ReadFile", "NtReadFile"],
    "writes": ["WriteFile", "NtWriteFile"],
    "closes": ["CloseHandle", "NtClose"],
    "folder listings": ["FindFirstFileExW", "FindNextFileW", "NtQueryDirectoryFile"],
}
KIND_OF = {name: kind for kind, names in KINDS.items() for name in names}
# With +pid, "0020:0024:Call kernelbase.CreateFileW(...) ret=..." and "0020:0024:Ret  kernelbase.CreateFileW() ...".
LINE = re.compile(r"^([0-9a-f]+):([0-9a-f]+):(Call|Ret)\s+[\w.-]+\.(\w+)\(")
SMALL, LARGE = 200, 400


def wine():
    for name in ("wine", "wine64", "/usr/lib/wine/wine64"):
        path = shutil.which(name)
        if path:
            return path
    sys.exit("count_windows_calls: no wine found")


def count(exe, files, work):
    """The counted calls of a run in a folder of `files` files, by function name."""
    tree = os.path.join(work, str(files))
    os.makedirs(os.path.join(tree, "files"))
    for i in range(files):
        with open(os.path.join(tree, "files", f"{i:04}.dat"), "wb") as out:
            out.write(os.urandom(100 + i % 1000))
    trace = os.path.join(work, f"trace-{files}")
    env = dict(os.environ, WINEDEBUG="+pid,+relay", LC_ALL="C.UTF-8")
    with open(trace, "wb") as err:
        status = subprocess.run([wine(), exe], cwd=tree, env=env, stdout=subprocess.DEVNULL, stderr=err).returncode
    if status != 0:
        sys.exit(f"count_windows_calls: {exe} ended with status {status}; its trace is in {trace}")
    counts = {}
    program = None
    # Per thread, the counted calls under way: what they call is theirs.
    open_calls = {}
    with open(trace, "rb") as lines:
        for raw in lines:
            line = raw.decode("latin-1")
            match = LINE.match(line)
            if not match or match.group(4) not in KIND_OF:
                continue
            process, thread, what, name = match.groups()
            if name == "CreateFileW" and "patchlist.txt" in line:
                program = process
            stack = open_calls.setdefault(thread, [])
            if what == "Call":
                if not stack:
                    per_process = counts.setdefault(process, {})
                    per_process[name] = per_process.get(name, 0) + 1
                stack.append(name)
            elif stack and stack[-1] == name:
                stack.pop()
    if program is None:
        sys.exit(f"count_windows_calls: no process of {exe} found in {trace}")
    return counts[program]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    exe = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="treeinv-calls-")
    try:
        small = count(exe, SMALL, work)
        large = count(exe, LARGE, work)
    finally:
        shutil.rmtree(work)
    print(f"Windows file-system calls per file of {os.path.basename(exe)} (the relay trace of {LARGE} files less "
          f"that of {SMALL})")
    for kind, names in KINDS.items():
        per_name = {name: (large.get(name, 0) - small.get(name, 0)) / (LARGE - SMALL) for name in names}
        total = sum(per_name.values())
        detail = ", ".join(f"{name} {value:g}" for name, value in per_name.items() if value)
        print(f"  {kind:20} {total:5.2f}" + (f"   ({detail})" if detail else ""))


if __name__ == "__main__":
    main()
