#!/usr/bin/env bash
# The editor without a display: a plain message and exit status 1, not
# Qt's abort. Usage: editor_display_test.sh EDITOR
set -u
editor=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
fail=0

# expect STATUS TEXT ENV...: runs the editor with the environment changes.
expect() {
  local status=$1 text=$2
  shift 2
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" "$editor" >out 2>err </dev/null
  local got=$?
  if [ "$got" -ne "$status" ] || ! grep -qF "$text" err; then
    echo "FAIL ($*): status $got, expected $status with '$text'; standard error:"
    cat err
    fail=1
  else
    echo "ok ($*): $(head -1 err)"
  fi
}

expect 1 "no display was found (DISPLAY is not set, nor WAYLAND_DISPLAY)"
expect 1 "no display was found (DISPLAY is not set)" QT_QPA_PLATFORM=xcb
# A display that no X server answers: Qt cannot start its platform.
expect 1 "the display cannot be reached" DISPLAY=:87 XAUTHORITY=/nonexistent
exit $fail
