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
