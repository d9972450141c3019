#!/usr/bin/env bash
# Checks the set-up scripts as a new user meets them, in a copy of the checkout and installing nothing: scripts/setup
# without sudo, with a refusing one, and with stand-ins for sudo and apt-get; every script's message when its
# packages are missing; scripts/inventory without or on a bad directory, a first, later and failing run, and as a
# user where root built first (only when run as root, as CI is: that user and the others are nobody); treeinv --help
# and --version; scripts/test's temporary folder and its word on skipped tests, and what scripts/package and
# scripts/build-windows print, with stand-ins for CMake's tools; the benchmark's check of the files each command
# hashed and of its failures, on small trees, and its removal of the trees when terminated; and the .editorconfig
# check. It expects scripts/setup's packages and editorconfig there.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
copy=$scratch/checkout
mkdir -p "$copy" "$scratch/stubs" "$scratch/nosudo" "$scratch/tree/a/b" "$scratch/here" "$scratch/elsewhere/tree"
tar -C "$root" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$copy" -xf -
missing=treeinv-test-no-such-package
user=(env)
if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody: "$scratch"
  user=(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$scratch")
fi

fail() {
  echo "scripts_test: $*" >&2
  exit 1
}
# Runs COMMAND...; then expect STATUS TEXT fails unless it exited with STATUS and printed exactly TEXT on standard
# error and nothing on standard output.
run() {
  status=0
  "$@" >"$scratch/out" 2>"$scratch/err" || status=$?
}
expect() {
  [ "$status" = "$1" ] && [ ! -s "$scratch/out" ] && [ "$(cat "$scratch/err")" = "$2" ] ||
    fail "expected status $1 and \"$2\", got status $status and \"$(cat "$scratch/out" "$scratch/err")\""
}
stub() {
  printf '#!/bin/sh\n%s\n' "$2" >"$scratch/stubs/$1"
  chmod 755 "$scratch/stubs/$1"
}

# A PATH without sudo, and one with stand-ins that log their calls and make noise.
for tool in /usr/bin/*; do
  [ "${tool##*/}" = sudo ] || ln -s "$tool" "$scratch/nosudo/"
done
for tool in apt-get cmake dpkg-query; do
  stub "$tool" "echo \"$tool \$* [\${DEBIAN_FRONTEND:-}]\" >>$scratch/log; echo noise"
done
stubbed=(env PATH="$scratch/stubs:$scratch/nosudo")
cannot="setup: the package $missing is missing, and only root can install it"
run "${user[@]}" PATH="$scratch/nosudo" "$copy/scripts/setup" bash "$missing"
expect 1 "$cannot: sudo is not installed. As root, run:
  apt-get update && apt-get install $missing"

# Bad directories are told before anything is installed or built (dpkg-query would be the first sign).
run "${stubbed[@]}" "$copy/scripts/inventory" "$scratch/none"
expect 1 "inventory: $scratch/none: no such directory"
run "${stubbed[@]}" "$copy/scripts/inventory" /etc/passwd
expect 1 "inventory: /etc/passwd: not a directory"
run "${stubbed[@]}" env -C "$scratch/here" "$copy/scripts/inventory"
expect 2 "inventory: usage: $copy/scripts/inventory DIRECTORY (builds treeinv if need be and writes folders.txt and \
patchlist.txt into DIRECTORY)"
[ -z "$(ls -A "$scratch/here")" ] || fail "inventory without a directory left $(ls -A "$scratch/here")"
[ ! -e "$scratch/log" ] || fail "inventory ran $(cat "$scratch/log") for no directory"

# A user without sudo hears of every package a script needs in one message, before anything else is done.
# scripts/setup names every package of every script, each once, and the others point to it.
needs() {
  local script=$1 names=$2 hint
  shift 2
  run "${user[@]}" "${stubbed[@]}" "$copy/scripts/$script" "$@"
  hint=$'\n'"$script: scripts/setup names the packages of every script, for root to install them all at once."
  [ "$script" != setup ] || hint=
  expect 1 "$script: the packages g++, cmake, make, libssl-dev$names are missing, and only root can install them: \
sudo is not installed. As root, run:
  apt-get update && apt-get install $(tr -d , <<<"g++ cmake make libssl-dev${names/ and/}")$hint"
}
needs setup ", libgtest-dev, time, dpkg-dev, file, python3, rhash, g++-mingw-w64-x86-64-posix, wine64, googletest, \
perl, locales, man-db, wine and $missing" time "$missing"
needs inventory " and libgtest-dev" "$scratch/tree"
needs test ", libgtest-dev and time"
needs package ", libgtest-dev, dpkg-dev and file"
needs benchmark ", libgtest-dev, python3, rhash and time" --runs 1
needs build-windows ", libgtest-dev, g++-mingw-w64-x86-64-posix, wine64, googletest, dpkg-dev, perl, locales \
and time" --test
[ -z "$(grep -v '^dpkg-query ' "$scratch/log")" ] || fail "a script with missing packages ran: $(cat "$scratch/log")"
[ ! -e "$copy/build" ] || fail "a script with missing packages made a build folder"
rm "$scratch/stubs/dpkg-query" "$scratch/log"

stub sudo 'echo "Sorry, user may not run sudo." >&2; exit 1'
run "${user[@]}" "${stubbed[@]}" "$copy/scripts/setup" "$missing"
expect 1 "Sorry, user may not run sudo.
$cannot: sudo refused. As root, run:
  apt-get update && apt-get install $missing"
[ ! -e "$scratch/log" ] || fail "setup ran $(cat "$scratch/log") though sudo refused"

# Like sudo, the stand-in drops the environment.
stub sudo '[ "$1" = -v ] || exec env -i PATH="$PATH" "$@"'
installing="setup: installing $missing with apt-get through sudo, once (a minute or two)"
run "${user[@]}" "${stubbed[@]}" "$copy/scripts/setup" bash "$missing"
expect 0 "$installing"
[ "$(cat "$scratch/log")" = "apt-get update -qq []
apt-get install -y -qq $missing [noninteractive]" ] || fail "setup ran: $(cat "$scratch/log")"
stub apt-get '[ "$1" = update ] || { echo "E: Unable to locate package $4" >&2; exit 100; }'
run "${user[@]}" "${stubbed[@]}" "$copy/scripts/setup" "$missing"
expect 1 "$installing
E: Unable to locate package $missing
setup: apt-get could not install $missing"

# The first run says that it builds, every complete one where the lists are and how long; a failing one ends with
# the program's own message.
printf x >"$scratch/tree/a/b/file"
wrote="inventory: wrote $scratch/tree/folders.txt (2 lines) and $scratch/tree/patchlist.txt (3 lines)"
run "$copy/scripts/inventory" "$scratch/tree"
expect 0 "inventory: building treeinv in $copy/build, once (under a minute)
$wrote"
# A relative directory is found below the current one, whatever CDPATH says.
run env -C "$scratch" CDPATH="$scratch/elsewhere" "$copy/scripts/inventory" tree
expect 0 "$wrote"
[ -z "$(ls -A "$scratch/elsewhere/tree")" ] || fail "inventory followed CDPATH"
mkfifo "$scratch/tree/a/fifo"
run "$copy/scripts/inventory" "$scratch/tree"
expect 1 'treeinv: Cannot open "a/fifo": No such device or address.'
rm "$scratch/tree/a/fifo"

if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody: "$scratch/tree"
  run "${user[@]}" "$copy/scripts/inventory" "$scratch/tree"
  expect 0 "inventory: building treeinv in $copy/build-nobody, once (under a minute)
$wrote"
fi

# --help and --version, alone, print their text on standard output and touch nothing; beside other arguments they
# are ignored like any other.
version=$(sed -n 's/^project(treeinv VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
for option in --help -h --version; do
  run env -C "$scratch/here" "$copy/build/treeinv" "$option"
  [ "$status" = 0 ] && [ ! -s "$scratch/err" ] && [ -z "$(ls -A "$scratch/here")" ] ||
    fail "treeinv $option: status $status, left $(ls -A "$scratch/here"), said $(cat "$scratch/err")"
  said=$(cat "$scratch/out")
  case $option in
    --version) [ "$said" = "treeinv $version" ] ;;
    *) grep -q '^Usage: treeinv' <<<"$said" && grep -q '^Exit status: 0' <<<"$said" ;;
  esac || fail "treeinv $option said $said"
done
run env -C "$scratch/here" "$copy/build/treeinv" --version extra
expect 0 ""
[ "$(ls "$scratch/here")" = "folders.txt
patchlist.txt" ] || fail "treeinv --version extra left $(ls -A "$scratch/here")"

# scripts/test runs the tests in a temporary folder of their own, which it removes; anything the tests leave there
# fails the run, named. The reasons of skipped tests follow, from CTest's log. Stand-ins for CMake and CTest, which
# log here the lines GoogleTest writes, one test with two lines of reason; they may leave a folder without
# permissions, or fail.
mkdir -p "$scratch/ctest" "$scratch/tmp" "$scratch/fake-build/Testing/Temporary"
cat >"$scratch/LastTest.log" <<'LOG'
1/3 Testing: Hostile.AListAnotherUserOwnsInASharedFolderIsRefused
Output:
----------------------------------------------------------
[ RUN      ] Hostile.AListAnotherUserOwnsInASharedFolderIsRefused
/home/u/treeinv/tests/hostile_test.cpp:458: Skipped
needs root to give a file to another user
[  SKIPPED ] Hostile.AListAnotherUserOwnsInASharedFolderIsRefused (0 ms)
[  SKIPPED ] 1 test, listed below:
[  SKIPPED ] Hostile.AListAnotherUserOwnsInASharedFolderIsRefused
<end of output>
2/3 Testing: Lists.Pass
[ RUN      ] Lists.Pass
[       OK ] Lists.Pass (2 ms)
3/3 Testing: Hostile.WithoutProcListsAreRewrittenAndLinksFollowed
[ RUN      ] Hostile.WithoutProcListsAreRewrittenAndLinksFollowed
/home/u/treeinv/tests/hostile_test.cpp:496: Skipped
cannot hide /proc
here

[  SKIPPED ] Hostile.WithoutProcListsAreRewrittenAndLinksFollowed (2 ms)
LOG
printf '#!/bin/sh\n' >"$scratch/ctest/cmake"
printf '#!/bin/sh
echo "$TMPDIR" >%s/ctest-tmpdir
cp %s/LastTest.log Testing/Temporary/
if [ -e %s/leave ]; then mkdir -p "$TMPDIR/treeinv-test-x/d/d" && chmod 0 "$TMPDIR/treeinv-test-x/d"; fi
exit "$(cat %s/ctest-status)"
' "$scratch" "$scratch" "$scratch" "$scratch" >"$scratch/ctest/ctest"
chmod 755 "$scratch/ctest/cmake" "$scratch/ctest/ctest"
[ "$(id -u)" -ne 0 ] || chown -R nobody: "$scratch"
skipped="test: skipped Hostile.AListAnotherUserOwnsInASharedFolderIsRefused: needs root to give a file to another user
test: skipped Hostile.WithoutProcListsAreRewrittenAndLinksFollowed: cannot hide /proc here"
for case in clean leave failing; do
  echo 0 >"$scratch/ctest-status"
  [ "$case" != leave ] || touch "$scratch/leave"
  [ "$case" != failing ] || echo 8 >"$scratch/ctest-status"
  run "${user[@]}" PATH="$scratch/ctest:$PATH" TMPDIR="$scratch/tmp" TREEINV_BUILD_DIR="$scratch/fake-build" \
    "$copy/scripts/test"
  tests_tmp=$(cat "$scratch/ctest-tmpdir")
  case $case in
    clean) expect 0 "$skipped" ;;
    leave) expect 1 "$skipped
test: the tests left behind in $tests_tmp: treeinv-test-x (3 entries in all), now removed" ;;
    failing) expect 8 "$skipped" ;;
  esac
  [[ "$tests_tmp" == "$scratch/tmp/"?* ]] && [ -z "$(ls -A "$scratch/tmp")" ] ||
    fail "scripts/test ran the tests in $tests_tmp and left $(ls -A "$scratch/tmp")"
  rm -f "$scratch/leave"
done

# scripts/package and scripts/build-windows print on standard output the paths of what they made, alone: .ci/run
# installs the first and reads the zip from the last line of the second. Stand-ins for CMake and CPack make noise on
# both streams; libcrypto for Windows is taken as built, from a cache of the newest version apt knows.
mkdir -p "$scratch/cpack" "$scratch/package-build" "$scratch/win-build"
for tool in cmake cpack; do
  printf '#!/bin/sh
echo noise; echo noise >&2
[ "${0##*/}" = cmake ] || echo "CPack: - package: $PWD/made generated."
' >"$scratch/cpack/$tool"
  chmod 755 "$scratch/cpack/$tool"
done
run env PATH="$scratch/cpack:$PATH" TREEINV_PACKAGE_BUILD_DIR="$scratch/package-build" "$copy/scripts/package"
[ "$status" = 0 ] && [ "$(cat "$scratch/out")" = "$scratch/package-build/made" ] ||
  fail "scripts/package printed $(cat "$scratch/out"), status $status: $(cat "$scratch/err")"
version=$(apt-cache madison libssl-dev | awk -F'|' '{ gsub(/ /, "", $2); print $2 }' | sort -Vr | head -n 1)
if [ -n "$version" ]; then
  mkdir -p "$scratch/cache/openssl-$version-x86_64-w64-mingw32/lib"
  touch "$scratch/cache/openssl-$version-x86_64-w64-mingw32/lib/libcrypto.a"
  run env PATH="$scratch/cpack:$PATH" TREEINV_CACHE_DIR="$scratch/cache" TREEINV_WIN_BUILD_DIR="$scratch/win-build" \
    "$copy/scripts/build-windows" --package
  [ "$status" = 0 ] && [ "$(cat "$scratch/out")" = "$scratch/win-build/treeinv.exe
$scratch/win-build/made" ] ||
    fail "scripts/build-windows printed $(cat "$scratch/out"), status $status: $(cat "$scratch/err")"
else
  echo "scripts_test: apt knows no version of libssl-dev, so what scripts/build-windows prints is not checked"
fi

# The benchmark keeps what the commands print to themselves, and leaves out of the timing, saying why in the
# command's row, one that hashed fewer files than the tree holds or failed: here a stand-in for rhash that goes
# down three levels in the deep tree and says why it stopped, and in the small tree hashes every file and fails.
mkdir "$scratch/rhash"
printf '#!/bin/sh
find . -maxdepth 3 -type f -print0 | xargs -0 sha256sum
case $PWD in
  */deep) echo "./d/d/d: Too many open files" >&2 ;;
  */small) echo "rhash: ./dir000: Permission denied" >&2; exit 2 ;;
esac
' >"$scratch/rhash/rhash"
chmod 755 "$scratch/rhash/rhash"
mkdir "$scratch/bench"
run env PATH="$scratch/rhash:$PATH" TREEINV_BUILD_DIR="$copy/build" python3 "$copy/bench/benchmark.py" --quick \
  --dir "$scratch/bench"
[ "$status" = 0 ] && [ "$(grep -c '^  rhash  *[0-9]' "$scratch/out")" = 1 ] &&
  sed -n '/^deep /,$p' "$scratch/out" | grep -q '^  rhash  *stopped after 5 of 1,902 files: too many open files$' &&
  sed -n '/^small /,/^$/p' "$scratch/out" | grep -q '^  rhash  *failed with status 2: permission denied$' &&
  grep -q '^benchmark: deep tree: rhash stopped after 5 of 1,902 files: too many open files; left out of the timing$' \
    "$scratch/err" && [ -z "$(grep -v '^benchmark: ' "$scratch/err")" ] && [ -z "$(ls -A "$scratch/bench")" ] ||
  fail "the benchmark did not mark the failing rhash: $(cat "$scratch/out" "$scratch/err"; ls -A "$scratch/bench")"
# Terminated, it removes its trees all the same.
printf '#!/bin/sh\nkill -TERM "$(cat %s/benchmark.pid)"; sleep 5\n' "$scratch" >"$scratch/rhash/rhash"
env PATH="$scratch/rhash:$PATH" TREEINV_BUILD_DIR="$copy/build" python3 "$copy/bench/benchmark.py" --quick \
  --dir "$scratch/bench" >/dev/null 2>&1 &
echo $! >"$scratch/benchmark.pid"
status=0
wait $! || status=$?
[ "$status" = 143 ] && [ -z "$(ls -A "$scratch/bench")" ] ||
  fail "the benchmark, terminated, ended with status $status and left $(ls -A "$scratch/bench")"

printf 'a \n\tb' >"$copy/bad.txt"
run "$copy/.ci/check-editorconfig" "$copy/README.md" "$copy/bad.txt"
[ "$status" = 1 ] && [ "$(cat "$scratch/out")" = "$copy/bad.txt: no newline at the end
$copy/bad.txt: trailing white space on line 1
$copy/bad.txt: tab in the indent on line 2" ] || fail "check-editorconfig said: $(cat "$scratch/out" "$scratch/err")"
echo "scripts_test: passed"
