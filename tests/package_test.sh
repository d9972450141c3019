#!/usr/bin/env bash
# Checks a package the way a user meets it: installs or unpacks it outside the build, runs the program it holds
# over a small tree and checks the lists, and checks what comes with it.
#   tests/package_test.sh build-package/treeinv_VERSION_ARCH.deb
#       metadata, dpkg -x into a scratch root, the lists, the manual page with man -l, lintian if installed; when
#       run as root (as CI is) and treeinv is not installed yet, also apt-get install, `treeinv` and
#       `man treeinv`, then a purge.
#   tests/package_test.sh build-win/treeinv-VERSION-win64.zip
#       the zip's contents, and its exe run under Wine.
set -euo pipefail

package=$(realpath "$1")
scratch=$(mktemp -d)
cleanup=("rm -rf '$scratch'")
trap 'for step in "${cleanup[@]}"; do eval "$step"; done' EXIT

fail() {
  echo "package_test: $*" >&2
  exit 1
}

sha256() {
  sha256sum | cut -d' ' -f1
}

# A small tree of known content: spaces in names, an empty file and folder, a file of several read buffers.
make_tree() {
  local tree=$1
  mkdir -p "$tree/data/video" "$tree/empty folder"
  printf test >"$tree/data/video/intro.bin"
  : >"$tree/a b.txt"
  head -c 3000000 /dev/urandom >"$tree/data/big.bin"
}

# Runs COMMAND... in the tree, which must end cleanly and silently, and checks both lists byte for byte. The order
# of entries within a folder is the file system's, so each list is checked as a set of lines plus the orders the
# walk promises, and the two lists' own digests against what each held at some point of the walk.
check_run() {
  local tree=$1
  shift
  (cd "$tree" && "$@") >"$scratch/stdout" 2>"$scratch/stderr" || fail "$* failed: $(cat "$scratch/stderr")"
  [ ! -s "$scratch/stdout" ] && [ ! -s "$scratch/stderr" ] ||
    fail "$* printed: $(cat "$scratch/stdout" "$scratch/stderr")"

  local folders="$tree/folders.txt" patchlist="$tree/patchlist.txt" list
  for list in "$folders" "$patchlist"; do
    [ "$(grep -c $'\r$' "$list")" = "$(wc -l <"$list")" ] || fail "${list##*/}: a line does not end with CR LF"
    [ "$(tail -c 2 "$list" | od -An -c | tr -d ' ')" = '\r\n' ] || fail "${list##*/} does not end with CR LF"
  done

  [ "$(tr -d '\r' <"$folders" | sort)" = $'data\\\ndata\\video\\\nempty folder\\' ] ||
    fail "folders.txt holds: $(cat -A "$folders")"
  local parent child
  parent=$(grep -n -x $'data\\\\\r' "$folders" | cut -d: -f1)
  child=$(grep -n -x $'data\\\\video\\\\\r' "$folders" | cut -d: -f1)
  [ "$parent" -lt "$child" ] ||
    fail "folders.txt lists data\\video\\ before data\\"

  local expected
  expected=$(printf '%s\n' \
    "a b.txt $(sha256 </dev/null)" \
    "data/big.bin $(sha256 <"$tree/data/big.bin")" \
    "data/video/intro.bin $(printf test | sha256)" | sort)
  [ "$(tr -d '\r' <"$patchlist" | grep -v '^folders.txt \|^patchlist.txt ' | sort)" = "$expected" ] ||
    fail "patchlist.txt holds: $(cat -A "$patchlist")"

  # patchlist.txt held exactly the lines before its own when the walk reached it; folders.txt held some first
  # part of its final content.
  local line number digest
  line=$(grep -n '^patchlist.txt ' "$patchlist") || fail "patchlist.txt does not list itself"
  number=${line%%:*}
  digest=$(tr -d '\r' <<<"${line#*:}" | cut -d' ' -f2)
  [ "$digest" = "$(head -n $((number - 1)) "$patchlist" | sha256)" ] || fail "patchlist.txt listed with $digest"
  digest=$(grep '^folders.txt ' "$patchlist" | tr -d '\r' | cut -d' ' -f2) || fail "patchlist.txt lacks folders.txt"
  for number in $(seq 0 "$(wc -l <"$folders")"); do
    if [ "$digest" = "$(head -n "$number" "$folders" | sha256)" ]; then
      return 0
    fi
  done
  fail "folders.txt listed with $digest, which it never held"
}

# The manual page renders without a warning, and says what the program is.
check_manual() {
  local page
  page=$(MAN_KEEP_STDERR=1 MANWIDTH=80 "$@" 2>"$scratch/man-stderr") || fail "$* failed"
  [ ! -s "$scratch/man-stderr" ] || fail "$* warned: $(cat "$scratch/man-stderr")"
  grep -q 'treeinv - take the inventory of a directory tree' <<<"$page" || fail "$* rendered: $page"
  grep -q 'OPENSSL_ia32cap' <<<"$page" || fail "$* does not name OPENSSL_ia32cap"
}

check_deb() {
  local field
  field() { dpkg-deb --field "$package" "$1"; }
  [ "$(field Package)" = treeinv ] || fail "Package: $(field Package)"
  [ "${package##*/}" = "treeinv_$(field Version)_$(field Architecture).deb" ] || fail "file name ${package##*/}"
  [ "$(field Architecture)" = amd64 ] || fail "Architecture: $(field Architecture)"
  [ "$(field Section)" = utils ] || fail "Section: $(field Section)"
  [[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
  [[ "$(field Depends)" == *libssl3* ]] || fail "Depends: $(field Depends)"
  [ "$(field Description | wc -l)" -gt 2 ] || fail "no long description"

  local root="$scratch/root"
  dpkg -x "$package" "$root"
  [ -x "$root/usr/bin/treeinv" ] || fail "no usr/bin/treeinv"
  [ -s "$root/usr/share/doc/treeinv/copyright" ] || fail "no copyright file"
  [ -s "$root/usr/share/doc/treeinv/README.md" ] || fail "no README"
  file "$root/usr/bin/treeinv" | grep -q ', stripped' || fail "usr/bin/treeinv is not stripped"
  make_tree "$scratch/tree"
  check_run "$scratch/tree" "$root/usr/bin/treeinv"
  check_manual man -l "$root/usr/share/man/man1/treeinv.1.gz"
  zcat "$root/usr/share/man/man1/treeinv.1.gz" | groff -man -Tutf8 -ww -z 2>"$scratch/groff" || fail "groff failed"
  [ ! -s "$scratch/groff" ] || fail "groff warned: $(cat "$scratch/groff")"

  # What lintian still says of the package, and why it stays: the only functions the program calls that have
  # checked variants (read, memcpy) are given sizes the compiler cannot know, so no checked variant is linked.
  if command -v lintian >/dev/null; then
    local tags
    tags=$(lintian --info --pedantic --suppress-tags hardening-no-fortify-functions "$package" 2>/dev/null) ||
      fail "lintian: $tags"
    [ -z "$tags" ] || fail "lintian: $tags"
  else
    echo "package_test: lintian is not installed, so not run"
  fi

  if [ "$(id -u)" -ne 0 ] || dpkg-query -W treeinv >/dev/null 2>&1; then
    echo "package_test: installed with dpkg -x only (apt-get install needs root and no treeinv installed yet)"
    return 0
  fi
  cleanup+=("dpkg --purge treeinv >/dev/null")
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$package" >/dev/null 2>&1 ||
    fail "apt-get install $package failed"
  [ "$(command -v treeinv)" = /usr/bin/treeinv ] || fail "treeinv is not on PATH"
  make_tree "$scratch/installed-tree"
  check_run "$scratch/installed-tree" treeinv
  check_manual man treeinv
}

check_zip() {
  local unpacked="$scratch/unpacked"
  mkdir "$unpacked"
  (cd "$unpacked" && cmake -E tar xf "$package")
  [ "$(cd "$unpacked" && find . -mindepth 1 | sort | tr '\n' ' ')" = "./LICENSE.txt ./README.txt ./treeinv.exe " ] ||
    fail "the zip holds: $(cd "$unpacked" && find . -mindepth 1)"
  local text
  for text in README.txt LICENSE.txt; do
    [ "$(grep -c $'\r$' "$unpacked/$text")" = "$(wc -l <"$unpacked/$text")" ] || fail "$text has lines without CR"
  done
  grep -q '^# treeinv' "$unpacked/README.txt" || fail "README.txt is not the README"
  grep -q '^MIT License' "$unpacked/LICENSE.txt" || fail "LICENSE.txt is not the licence"

  # Wine reads Linux file names in the locale's encoding; its own messages would break the silence check.
  export WINEDEBUG=-all LC_ALL=C.UTF-8
  /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
  make_tree "$scratch/tree"
  check_run "$scratch/tree" /usr/lib/wine/wine64 "$unpacked/treeinv.exe"
}

case "$package" in
  *.deb) check_deb ;;
  *.zip) check_zip ;;
  *) fail "not a package: $package" ;;
esac
echo "package_test: ${package##*/} passed"
