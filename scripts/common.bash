# Sourced by the scripts beside it, after they set $root to the checkout: how they speak, run quietly and pick
# their build folder.

# Messages go to standard error and name the script that speaks: "inventory: building treeinv in ...".
say() {
  echo "${0##*/}: $*" >&2
}

die() {
  say "$@"
  exit 1
}

# Runs COMMAND... and shows what it printed only if it fails: on a first run apt-get and CMake would bury the few
# lines that matter under hundreds that do not.
quietly() {
  local output
  output=$("$@" 2>&1) || {
    printf '%s\n' "$output" >&2
    return 1
  }
}

# Prints the build folder NAME of the checkout to use, creating it. A checkout shared between root and a user
# cannot share a build folder: CMake's cache and objects can only be rewritten by whoever wrote them. So whoever
# finds NAME, or the cache in it, made by someone else builds in NAME-USER instead.
build_folder() {
  local folder="$root/$1"
  if { [ -e "$folder" ] && [ ! -O "$folder" ]; } ||
    { [ -e "$folder/CMakeCache.txt" ] && [ ! -O "$folder/CMakeCache.txt" ]; }; then
    folder+="-$(id -un)"
  fi
  mkdir -p "$folder" 2>/dev/null ||
    die "cannot create the build folder $folder: clone the checkout into a folder of your own"
  echo "$folder"
}

# What building treeinv and its tests takes; each script adds what its own job takes, and scripts/setup installs
# them all.
build_packages=(g++ cmake make libssl-dev libgtest-dev)
# The tests measure what the program holds in memory with /usr/bin/time.
test_packages=(time)
# dpkg-dev and file work out the Debian package's dependencies from the libraries the program links.
package_packages=(dpkg-dev file)
benchmark_packages=(python3 rhash time)
# googletest carries the sources the Windows tests are built from; dpkg-dev unpacks a source package; locales
# has what the tests need to run Wine in double-byte code pages; the deep tree's test measures memory with time.
windows_packages=(g++-mingw-w64-x86-64-posix wine64 googletest dpkg-dev perl locales time)

# Installs those of the Debian packages PACKAGE... that are missing, and says so in one line first. Installing takes
# root: apt-get runs through sudo when the script does not run as root, and when it cannot (no sudo, or sudo refuses)
# every missing package is named in one message with the command that installs them all, and the script fails.
require_packages() {
  local missing=() package
  for package; do
    if [[ " ${missing[*]} " != *" $package "* ]] &&
      ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  if ((${#missing[@]} == 0)); then
    return 0
  fi
  # "package a is", "packages a and b are", "packages a, b and c are"
  local names="package ${missing[0]} is" it=it
  if ((${#missing[@]} > 1)); then
    names=$(printf '%s, ' "${missing[@]:0:${#missing[@]}-1}")
    names="packages ${names%, } and ${missing[*]: -1} are" it=them
  fi

  local as_root=() cannot=
  if [ "$(id -u)" -ne 0 ]; then
    # sudo -v asks for the password, if sudo wants one, and says whether this user may use sudo at all.
    if ! command -v sudo >/dev/null; then
      cannot="sudo is not installed"
    elif ! sudo -v -p "[sudo] password for %p, to install ${missing[*]}: "; then
      cannot="sudo refused"
    fi
    if [ -n "$cannot" ]; then
      say "the $names missing, and only root can install $it: $cannot. As root, run:"
      echo "  apt-get update && apt-get install ${missing[*]}" >&2
      if [ "${0##*/}" != setup ]; then
        say "scripts/setup names the packages of every script, for root to install them all at once."
      fi
      exit 1
    fi
    as_root=(sudo)
  fi
  say "installing ${missing[*]} with apt-get${as_root:+ through sudo}, once (a minute or two)"
  quietly "${as_root[@]}" apt-get update -qq || die "apt-get update failed"
  # sudo would drop DEBIAN_FRONTEND from the environment, so env sets it on the far side.
  quietly "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" ||
    die "apt-get could not install ${missing[*]}"
}

# Removes PATH... with everything below, also where tests took permissions away, which would stop rm as a user.
remove_all() {
  chmod -R u+rwx "$@" 2>/dev/null || true
  rm -rf "$@"
}

# Removes PATH... when the script ends, however it ends: bash runs the EXIT trap also when a signal such as Ctrl-C's
# ends the script.
remove_on_exit() {
  removed_on_exit+=("$@")
  trap 'remove_all "${removed_on_exit[@]}"' EXIT
}
removed_on_exit=()

# Prints on standard error, one line each, the tests that the last CTest run in the build folder BUILD skipped, with
# the reason each gave: CTest's report names them only.
say_why_skipped() {
  local log=$1/Testing/Temporary/LastTest.log
  [ -f "$log" ] || return 0
  # GoogleTest writes "FILE:LINE: Skipped", the reason's lines, and "[  SKIPPED ] NAME (N ms)".
  awk -v who="${0##*/}" '
    /:[0-9]+: Skipped$/ { reason = ""; skipped = 1; next }
    skipped && /^\[  SKIPPED \] [^ ]+ \([0-9]+ ms\)$/ {
      print who ": skipped " $4 ": " (reason == "" ? "no reason given" : reason)
      skipped = 0
      next
    }
    skipped && NF { reason = reason (reason == "" ? "" : " ") $0 }
  ' "$log" >&2
}

# Runs the tests built in the build folder BUILD through CTest, in a temporary folder of their own (TMPDIR), and
# fails, naming them and removing them, if they leave anything there, even when every test passed: a test that
# leaves a folder in /tmp leaves one with every run. Skipped tests are named with their reasons.
run_tests() {
  local build=$1 status=0 left
  tests_tmp=$(mktemp -d "${TMPDIR:-/tmp}/treeinv-tests.XXXXXX")
  remove_on_exit "$tests_tmp"
  # Tests that drop their privileges must still reach their own folders inside.
  chmod 711 "$tests_tmp"
  # Run from the build folder: ctest --test-dir announces that it changes into it.
  (cd "$build" && TMPDIR=$tests_tmp ctest --output-on-failure --no-tests=error -j "$(nproc)") || status=$?
  say_why_skipped "$build"
  left=$(cd "$tests_tmp" && find . -mindepth 1 -maxdepth 1 -printf '%P\n' | sort | paste -sd ' ')
  if [ -n "$left" ]; then
    # Counted once the tests' permissions are given back, so that find sees everything.
    chmod -R u+rwx "$tests_tmp" 2>/dev/null || true
    say "the tests left behind in $tests_tmp: $left ($(find "$tests_tmp" -mindepth 1 | wc -l) entries in all), now" \
      "removed"
    status=1
  fi
  remove_all "$tests_tmp"
  return "$status"
}
