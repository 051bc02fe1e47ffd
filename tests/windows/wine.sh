#!/usr/bin/env bash
# Wine as the tests use it, with one prefix for a whole test run:
#   wine.sh PREFIX start              make the prefix afresh and keep its
#                                     wineserver up, so that each program
#                                     then starts in a tenth of a second
#   wine.sh PREFIX run PROGRAM [ARG]  run a Windows program in it
#   wine.sh PREFIX stop               end that wineserver
set -euo pipefail
export WINEPREFIX=$1
# No debug channels (they would mix with the program's standard error), and
# no offer to install .NET or a browser engine.
export WINEDEBUG=-all
export WINEDLLOVERRIDES=mscoree,mshtml=
case ${2:-} in
  start)
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # Wine's own services outlive this script: they must not hold the test
    # runner's output pipes open.
    log=$WINEPREFIX/start.log
    if ! { wineserver -p && wineboot -i; } </dev/null >"$log" 2>&1; then
      cat "$log" >&2
      exit 1
    fi
    ;;
  run)
    shift 2
    exec wine "$@"
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *)
    echo "usage: $0 PREFIX start|stop|run PROGRAM [ARG...]" >&2
    exit 2
    ;;
esac
