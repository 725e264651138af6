#!/usr/bin/env bash
# End-to-end test of the installation window: starts the real program on a
# private Xvfb display, reads the window title, checks that Escape leaves it
# open, walks the tab order to the language button and presses it with Enter
# and Space, presses it twice with the mouse, and presses Exit. Screenshots
# of both languages and of the focus on Exit are kept as PNG files in the
# given folder.
#   window_xvfb.sh <program> <screenshot folder>
# A second mode checks the start without a display:
#   window_xvfb.sh --no-display <program>
set -euo pipefail

source "$(dirname "$0")/xvfb_support.sh"

if [ "${1:-}" = "--no-display" ]; then
  program=$2
  set +e
  env -u DISPLAY -u WAYLAND_DISPLAY "$program" >"$work/out" 2>"$work/err"
  rc=$?
  set -e
  [ "$rc" -eq 1 ] || fail "exit code $rc without a display, expected 1"
  lines=$(cat "$work/out" "$work/err" | wc -l)
  [ "$lines" -eq 1 ] || fail "expected one line without a display, got $lines: $(cat "$work/out" "$work/err")"
  echo "without a display: $(cat "$work/err" "$work/out")"
  exit 0
fi

program=$1
shots=$2
mkdir -p "$shots"

start_xvfb
start_program "$program"

english='Program Installation System'
chinese='軟件安裝糸統'

wid=$(wait_for_title "$english  (Updated on 2019/03/25)")
echo "start: '$english  (Updated on 2019/03/25)'"
drawn_screenshot "$wid" window_en.png

# Keys go to the window under the pointer: rest it on an empty spot of the
# window.
xdotool mousemove --window "$wid" 400 5

# Escape does not end the program.
key Escape
sleep 1
alive || fail "Escape ended the program"
wait_for_title "$english  (Updated on 2019/03/25)" >/dev/null
echo "Escape left the window open"

# InfoMemo has the focus at start; Tab moves it to Exit, which now shows
# the focus while Install Program does not change.
key Tab
deadline=$((SECONDS + 30))
while :; do
  screenshot "$wid" focus_exit.png >/dev/null
  differ=$(region_differs window_en.png focus_exit.png 452 312 90 25)
  [ "${differ%% *}" != 0 ] && break
  [ $SECONDS -lt $deadline ] || fail "Tab from the start did not focus Exit"
  sleep 0.1
done
differ=$(region_differs window_en.png focus_exit.png 320 312 90 25)
[ "${differ%% *}" = 0 ] || fail "Install Program changed when Exit took the focus"
echo "screenshot: $shots/focus_exit.png"

# On through Memo1, Install Program, the file list and Download File to the
# language button: Enter presses it, and Space presses it again.
key Tab Tab Tab Tab Tab
key Return
wait_for_title "$chinese" >/dev/null
echo "Enter on the language button: '$chinese'"
key space
wait_for_title "$english" >/dev/null
echo "Space on the language button: '$english'"

# The language button sits at 494,16 (50 x 22) in the client area.
press "$wid" 519 27
wait_for_title "$chinese" >/dev/null
echo "after the first press: '$chinese'"
# The title changes before the controls are repainted: wait until the window
# no longer looks as it did in English before keeping the shot.
deadline=$((SECONDS + 30))
while :; do
  screenshot "$wid" window_zh.png >/dev/null
  differ=$(compare -metric AE "$shots/window_en.png" "$shots/window_zh.png" null: 2>&1 || true)
  [ "${differ%% *}" != 0 ] && break
  [ $SECONDS -lt $deadline ] || fail "the window did not repaint after the switch"
  sleep 0.1
done
echo "screenshot: $shots/window_zh.png"

press "$wid" 519 27
wait_for_title "$english" >/dev/null
echo "after the second press: '$english'"

# Exit (452,312, 90 x 25) closes the window and ends the program.
press "$wid" 497 324
wait_for_exit Exit
echo "Exit ended the program"
