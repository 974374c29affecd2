#!/usr/bin/env bash
# CTest fixture: create (setup) or stop (cleanup) the run's private Wine prefix.
set -u
action=$1
prefix=$2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case $action in
  setup)
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # A persistent server lives for the whole run, until cleanup stops it.
    wineserver -p >"$prefix.log" 2>&1 || { cat "$prefix.log"; exit 1; }
    # Wine's background processes inherit the output handles: send them to a
    # file so that ctest does not wait for them.
    # The first program creates the prefix itself. (`wineboot -i` leaves the
    # prefix's update stamp unwritten, so the next program updates it again
    # and starts a second services.exe; two service control managers then
    # share the svcctl pipe and answer for different service databases.)
    wine cmd /c exit >>"$prefix.log" 2>&1 || { cat "$prefix.log"; exit 1; }
    echo "Wine prefix ready: $prefix"
    ;;
  cleanup)
    wineserver -k >/dev/null 2>&1 || true
    echo "Wine server stopped: $prefix"
    ;;
  *)
    echo "usage: $0 setup|cleanup PREFIX" >&2
    exit 2
    ;;
esac
