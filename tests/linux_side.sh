#!/bin/sh
# Runs COMMAND... (the Windows tests under Wine) beside a helper on the Linux side, which does for them what a
# Windows program cannot do under Wine: make a symbolic link, build a tree deeper than a path can name, run the exe
# under a Linux tool or send it a signal. A test writes a shell script into the folder named by
# TREEINV_TEST_LINUX_SIDE as "request"; the helper runs it there with sh and answers with its exit status in
# "done". The folder, with all the tests made in it, is removed at the end.
# WINE names the loader, for the scripts that run the exe themselves.
# Usage: tests/linux_side.sh WINE COMMAND...
set -u
export TREEINV_WINE="$1"
shift
side=$(mktemp -d)
(
  while [ ! -e "$side/stop" ]; do
    if [ -e "$side/request" ]; then
      mv "$side/request" "$side/running"
      (cd "$side" && sh running >log 2>&1)
      echo $? >"$side/done.part"
      mv "$side/done.part" "$side/done"
    fi
    sleep 0.01
  done
) &
helper=$!
TREEINV_TEST_LINUX_SIDE=$side "$@"
status=$?
touch "$side/stop"
wait "$helper"
rm -rf "$side"
exit $status
