#!/usr/bin/env bash
# Renders the administration window's windows and tabs to PNG files in docs/screenshots/ (or
# the directory given): the main window with each tab current, the user and template editors,
# the quick-info window and the examine window, on the demo site with a few clients connected
# over loopback. Qt's offscreen platform draws them, so no display is needed; the window style,
# the time zone and the font are fixed, so the pictures do not depend on the desktop.
#   scripts/screenshots.sh [DIR]
# The program is built in build/ unless QORDA_BUILD names another build directory.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."
out=${1:-docs/screenshots}
case $out in /*) ;; *) [ $# -gt 0 ] && out=$here/$out ;; esac
build=${QORDA_BUILD:-build}

cmake -S . -B "$build" -G Ninja -DQORDA_WERROR=ON -DQORDA_GUI=ON >/dev/null
cmake --build "$build" --target qorda-screenshots
# The demo account's generated password (printed by the demo's init) is of no use: the home
# is temporary. The program lists the pictures it wrote.
QT_QPA_PLATFORM=offscreen TZ=UTC LC_ALL=C.UTF-8 \
  "$build/qorda-screenshots" -style Fusion "$out" | grep '\.png$'
