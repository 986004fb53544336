#!/usr/bin/env bash
# Starts or stops a compositing manager on $DISPLAY for the window tests.
# Xvfb alone does not blend windows, so the half-transparent pixels of
# layered windows (drop shadows, the laser dot's glow) would show dark on
# the screen and in the screenshots; with xcompmgr they blend as on Windows.
#   compositor.sh start <pid file>   (does nothing without xcompmgr or X)
#   compositor.sh stop <pid file>
set -uo pipefail
action=${1:?start or stop}
pidfile=${2:?pid file}
case "$action" in
  start)
    if [ -z "${DISPLAY:-}" ] || ! command -v xcompmgr >/dev/null; then
      echo "compositor: no X display or no xcompmgr; layered windows will not blend" >&2
      exit 0
    fi
    setsid xcompmgr </dev/null >/dev/null 2>&1 &
    echo $! >"$pidfile"
    sleep 0.5
    ;;
  stop)
    if [ -f "$pidfile" ]; then
      kill "$(cat "$pidfile")" 2>/dev/null || true
      rm -f "$pidfile"
    fi
    ;;
esac
exit 0
