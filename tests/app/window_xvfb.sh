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

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Every file the program touches lands in the temporary folder.
export HOME=$work/home XDG_DATA_HOME=$work/data
mkdir -p "$HOME" "$XDG_DATA_HOME"

# In a sanitizer build, the font and X libraries keep caches until the
# process ends; they are not the program's leaks.
printf 'leak:libfontconfig.so\nleak:libX11.so\nleak:libXft.so\n' >"$work/lsan.supp"
export LSAN_OPTIONS="suppressions=$work/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

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

# Xvfb picks a free display number itself and writes it to the pipe when it
# accepts connections.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
deadline=$((SECONDS + 30))
until [ -s "$work/display" ]; do
  [ $SECONDS -lt $deadline ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  sleep 0.1
done
export DISPLAY=:$(head -n1 "$work/display")

"$program" >"$work/program.out" 2>&1 &
program_pid=$!
pids+=("$program_pid")

# FLTK writes the UTF-8 title into WM_NAME, which X declares as Latin-1;
# xdotool decodes it as Latin-1, so the name to search for is the UTF-8 text
# encoded once more.
x_name() { printf %s "$1" | iconv -f latin1 -t utf-8; }

# Waits until a window titled exactly $1 exists and prints its id.
wait_for_title() {
  local name wid deadline=$((SECONDS + 30))
  name=$(x_name "$1")
  while :; do
    wid=$(xdotool search --name "^$(printf %s "$name" | sed 's/[][\.*^$()+?{}|]/\\&/g')\$" 2>/dev/null | head -n1 || true)
    if [ -n "$wid" ]; then
      echo "$wid"
      return 0
    fi
    kill -0 "$program_pid" 2>/dev/null ||
      fail "the program ended: $(cat "$work/program.out"); Xvfb: $(cat "$work/xvfb.log")"
    [ $SECONDS -lt $deadline ] || fail "no window titled '$1'; windows: $(xdotool search --name . getwindowname %@ 2>/dev/null | tr '\n' '|')"
    sleep 0.1
  done
}

screenshot() {
  xwd -silent -id "$1" | convert xwd:- "png:$shots/$2"
  [ -s "$shots/$2" ] || fail "no screenshot $2"
  echo "screenshot: $shots/$2"
}

# The title is set before the controls are first drawn: keeps taking the shot
# until it shows more than a handful of colours (a drawn window, not a blank
# one).
drawn_screenshot() {
  local colours deadline=$((SECONDS + 30))
  while :; do
    screenshot "$1" "$2" >/dev/null
    colours=$(identify -format %k "$shots/$2")
    [ "$colours" -gt 16 ] && break
    [ $SECONDS -lt $deadline ] || fail "the window was never drawn ($colours colours in $2)"
    sleep 0.1
  done
  echo "screenshot: $shots/$2"
}

english='Program Installation System'
chinese='軟件安裝糸統'

wid=$(wait_for_title "$english  (Updated on 2019/03/25)")
echo "start: '$english  (Updated on 2019/03/25)'"
drawn_screenshot "$wid" window_en.png

# Keys go to the window under the pointer (no window manager): rest it on
# an empty spot of the window.
xdotool mousemove --window "$wid" 400 5
key() { xdotool key --delay 50 "$@"; }

alive() { kill -0 "$program_pid" 2>/dev/null; }

# Escape does not end the program.
key Escape
sleep 1
alive || fail "Escape ended the program"
wait_for_title "$english  (Updated on 2019/03/25)" >/dev/null
echo "Escape left the window open"

# Compares a control's place (x y w h) in two screenshots: prints 0 when
# they look the same.
region_differs() {
  compare -metric AE "$shots/$1" "$shots/$2" -crop "$5x$6+$3+$4" null: 2>&1 || true
}

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
press() { xdotool mousemove --window "$wid" "$1" "$2" click 1; }

press 519 27
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

press 519 27
wait_for_title "$english" >/dev/null
echo "after the second press: '$english'"

# Exit (452,312, 90 x 25) closes the window and ends the program.
press 497 324
deadline=$((SECONDS + 30))
while kill -0 "$program_pid" 2>/dev/null; do
  [ $SECONDS -lt $deadline ] || fail "the program did not end after Exit"
  sleep 0.1
done
set +e
wait "$program_pid"
rc=$?
set -e
[ "$rc" -eq 0 ] || fail "the program ended with $rc after Exit: $(cat "$work/program.out")"
echo "Exit ended the program"
