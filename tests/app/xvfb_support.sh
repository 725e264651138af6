# Shell helpers of the end-to-end tests that drive the real program on a
# private Xvfb display. Sourced, not run. Sourcing makes a temporary folder
# ($work) that HOME and XDG_DATA_HOME point into, and an exit trap that
# first calls the test's own on_exit (when it defines one), then ends every
# process whose id is in $pids and removes the folder.
#   start_xvfb           starts Xvfb and exports DISPLAY
#   start_program PROG   starts the program, sets $program_pid
#   wait_for_title T     waits for a window titled exactly T, prints its id
#   screenshot WID FILE  keeps a PNG of a window in $shots
#   screen_screenshot WID FILE   the same with the windows over it
# Every wait polls its condition with a deadline.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

work=$(mktemp -d)
pids=()
program_pid=
cleanup() {
  if declare -F on_exit >/dev/null; then on_exit || true; fi
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Every file the program touches lands in the temporary folder.
export HOME=$work/home XDG_DATA_HOME=$work/data
mkdir -p "$HOME" "$XDG_DATA_HOME"

# In a sanitizer build, the font and X libraries keep caches until the
# process ends; they are not the program's leaks.
printf 'leak:libfontconfig.so\nleak:libX11.so\nleak:libXft.so\n' >"$work/lsan.supp"
export LSAN_OPTIONS="suppressions=$work/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

# Waits until the command "$@" succeeds, polling every tenth of a second;
# fails with the text of $what after $deadline_seconds (30 by default).
wait_until() {
  local what=$1 deadline=$((SECONDS + ${deadline_seconds:-30}))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || fail "timed out waiting for $what"
    sleep 0.1
  done
}

# Xvfb picks a free display number itself and writes it to the pipe when it
# accepts connections.
start_xvfb() {
  exec 3>"$work/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  exec 3>&-
  local deadline=$((SECONDS + 30))
  until [ -s "$work/display" ]; do
    [ $SECONDS -lt $deadline ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
  done
  DISPLAY=:$(head -n1 "$work/display")
  export DISPLAY
}

start_program() {
  "$1" >"$work/program.out" 2>&1 &
  program_pid=$!
  pids+=("$program_pid")
}

alive() { kill -0 "$program_pid" 2>/dev/null; }

# FLTK writes the UTF-8 title into WM_NAME, which X declares as Latin-1;
# xdotool decodes it as Latin-1, so the name to search for is the UTF-8 text
# encoded once more.
x_name() { printf %s "$1" | iconv -f latin1 -t utf-8; }

# Prints the ids of the windows titled exactly $1 (nothing when there is
# none).
windows_titled() {
  local name
  name=$(x_name "$1")
  xdotool search --name "^$(printf %s "$name" | sed 's/[][\.*^$()+?{}|]/\\&/g')\$" 2>/dev/null || true
}

# The title of window $1: getwindowname prints WM_NAME's bytes as they are,
# which is the UTF-8 text.
window_title() {
  xdotool getwindowname "$1"
}

# Waits until a window titled exactly $1 exists and prints its id.
wait_for_title() {
  local wid deadline=$((SECONDS + ${deadline_seconds:-30}))
  while :; do
    wid=$(windows_titled "$1" | head -n1)
    if [ -n "$wid" ]; then
      echo "$wid"
      return 0
    fi
    alive || fail "the program ended: $(cat "$work/program.out"); Xvfb: $(cat "$work/xvfb.log")"
    [ $SECONDS -lt $deadline ] || fail "no window titled '$1'; windows: $(xdotool search --name . getwindowname %@ 2>/dev/null | tr '\n' '|')"
    sleep 0.1
  done
}

screenshot() {
  xwd -silent -id "$1" | convert xwd:- "png:$shots/$2"
  [ -s "$shots/$2" ] || fail "no screenshot $2"
  echo "screenshot: $shots/$2"
}

# A shot of the screen where window $1 is, with the windows above it (a
# message box): a shot of the window alone leaves them out.
screen_screenshot() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xwd -silent -root | convert xwd:- -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "png:$shots/$2"
  [ -s "$shots/$2" ] || fail "no screenshot $2"
  echo "screenshot: $shots/$2"
}

# The title is set before the controls are first drawn: keeps taking the shot
# until it shows more than a handful of colours (a drawn window, not a blank
# one), or more than $3 colours for a window drawn in fewer.
drawn_screenshot() {
  local colours deadline=$((SECONDS + 30))
  while :; do
    screenshot "$1" "$2" >/dev/null
    colours=$(identify -format %k "$shots/$2")
    [ "$colours" -gt "${3:-16}" ] && break
    [ $SECONDS -lt $deadline ] || fail "the window was never drawn ($colours colours in $2)"
    sleep 0.1
  done
  echo "screenshot: $shots/$2"
}

# Compares a control's place (x y w h) in two screenshots: prints 0 when
# they look the same.
region_differs() {
  compare -metric AE "$shots/$1" "$shots/$2" -crop "$5x$6+$3+$4" null: 2>&1 || true
}

# Keys go to the window under the pointer (no window manager).
key() { xdotool key --delay 50 "$@"; }

# Clicks at x y of the client area of window $1.
press() { xdotool mousemove --window "$1" "$2" "$3" click 1; }

# Waits until the program has ended and checks its exit code is 0.
wait_for_exit() {
  local rc deadline=$((SECONDS + 30))
  while alive; do
    [ $SECONDS -lt $deadline ] || fail "the program did not end after $1"
    sleep 0.1
  done
  set +e
  wait "$program_pid"
  rc=$?
  set -e
  [ "$rc" -eq 0 ] || fail "the program ended with $rc after $1: $(cat "$work/program.out")"
}
