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

# What building treeinv and its tests takes; each script adds what its own job takes.
build_packages=(g++ cmake make libssl-dev libgtest-dev)

# Installs those of the Debian packages PACKAGE... that are missing, and says so in one line first. Installing takes
# root: apt-get runs through sudo when the script does not run as root, and when it cannot (no sudo, or sudo refuses)
# every missing package is named in one message with the command that installs them all, and the script fails.
require_packages() {
  local missing=() package
  for package; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
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
