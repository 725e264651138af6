#!/usr/bin/env bash
# End-to-end test of a whole download run: the real program on a private
# Xvfb display against the bundled demo server on the port the demo build is
# aimed at. "Download File" is pressed with the mouse; the test waits for the
# install question, keeps screenshots of the status texts on the way and of
# the question, and then
#   no       answers No: the window stays, every file of the TKV1 edition
#            arrived byte for byte (Setup.exe as SetupTKV1.exe), and the
#            received files show in Memo1 and the file list;
#   yes      answers Yes: the program ends and the demo installer starts;
#   chinese  switches to Chinese first, keeps a shot of the login text too,
#            and checks as "no" does, with the window title before and after
#            the run.
#   download_xvfb.sh no|yes|chinese <program> <source folder> <screenshot folder>
#                    <account> <password> <port>
set -euo pipefail

source "$(dirname "$0")/xvfb_support.sh"

mode=$1 program=$2 source=$3 shots=$4 user=$5 password=$6 port=$7
case "$mode" in no | yes | chinese) ;; *) fail "unknown mode '$mode'" ;; esac
mkdir -p "$shots"
edition=$source/scripts/demo/Program_TKV1
target=$XDG_DATA_HOME/tkv-setup/drive_c/Program_TKV1

# The installer the program starts runs detached, in the target folder, and
# outlives the program: whatever still runs in our folder is ours to end.
on_exit() {
  local link pid ours=() deadline=$((SECONDS + 10))
  for link in /proc/[0-9]*/cwd; do
    pid=${link#/proc/}
    pid=${pid%/cwd}
    case "$(readlink "$link" 2>/dev/null)" in
      "$work" | "$work"/*) ours+=("$pid") ;;
    esac
  done
  for pid in "${ours[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${ours[@]}"; do
    while [ -d "/proc/$pid" ] && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
  done
}

# The demo build's port is fixed: one run at a time on this machine, also
# across build folders (CTest's resource lock covers one test run only).
exec 9>"${TMPDIR:-/tmp}/tkv-setup-demo-port-$port.lock"
flock -w 120 9 || fail "port $port stayed locked by another test run"

# A slow line (256 bytes a second) keeps a progress text on the status bar
# for a few seconds. A port still held by a program outside the lock (a
# demo started by hand) is waited for.
server_pid=
deadline=$((SECONDS + 60))
while [ -z "$server_pid" ]; do
  /usr/bin/python3 "$source/scripts/demo-server" --user "$user" --password "$password" \
    --port "$port" --rate 256 --ready-file "$work/port" 2>"$work/server.log" &
  pid=$!
  pids+=("$pid")
  until [ -s "$work/port" ] || ! kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
  if [ -s "$work/port" ]; then
    server_pid=$pid
  else
    [ $SECONDS -lt $deadline ] || fail "the demo server did not start: $(cat "$work/server.log")"
    sleep 1
  fi
done

start_xvfb
start_program "$program"

english='Program Installation System  (Updated on 2019/03/25)'
chinese='軟件安裝糸統'
wid=$(wait_for_title "$english")
drawn_screenshot "$wid" "${mode}_start.png" >/dev/null
start_shot=${mode}_start.png

if [ "$mode" = chinese ]; then
  # The language button sits at 494,16 (50 x 22).
  press "$wid" 519 27
  wait_for_title "$chinese" >/dev/null
  [ "$(window_title "$wid")" = "$chinese" ] || fail "title after the switch: '$(window_title "$wid")'"
  echo "title after the switch: '$chinese'"
  # The controls are repainted after the title changes.
  deadline=$((SECONDS + 30))
  while :; do
    screenshot "$wid" chinese_before.png >/dev/null
    differ=$(region_differs "$start_shot" chinese_before.png 0 0 559 349)
    [ "${differ%% *}" != 0 ] && break
    [ $SECONDS -lt $deadline ] || fail "the window did not repaint in Chinese"
    sleep 0.1
  done
  start_shot=chinese_before.png
fi

# The status bar is at 88,272 (457 x 19); Memo1 at 176,120 and the file
# list at 368,120 (140 and 177 x 137); "Download File" at 16,312 (90 x 25).
status_region=(88 272 457 19)
press "$wid" 61 324
echo "pressed Download File"

server_said() { grep -q -- "$1" "$work/server.log"; }

if [ "$mode" = chinese ]; then
  # Once the server has logged the account in, the status bar says so until
  # the next tick of the 5-second gate changes to the edition's folder.
  deadline_seconds=30 wait_until "the login" server_said "USER '$user' logged in"
  sleep 0.5
  screenshot "$wid" chinese_login.png
  server_said " CWD " && fail "the run changed folder before the login text was kept"
  differ=$(region_differs "$start_shot" chinese_login.png "${status_region[@]}")
  [ "${differ%% *}" != 0 ] || fail "the status bar did not change after the login"
fi

# A file that has some of its bytes but not all is being fetched: a progress
# event was handled for it. The shot counts only if the file is still short
# after it was taken.
partial_file() {
  local name local_name size
  for name in $(ls "$edition"); do
    local_name=$name
    [ "$name" = Setup.exe ] && local_name=SetupTKV1.exe
    [ -f "$target/$local_name" ] || continue
    size=$(stat -c %s "$target/$local_name")
    if [ "$size" -gt 0 ] && [ "$size" -lt "$(stat -c %s "$edition/$name")" ]; then
      echo "$target/$local_name $size"
      return 0
    fi
  done
  return 1
}
deadline=$((SECONDS + 60))
while :; do
  if fetching=$(partial_file); then
    sleep 0.5
    screenshot "$wid" "${mode}_progress.png" >/dev/null
    size=$(stat -c %s "${fetching% *}" 2>/dev/null || echo 0)
    if [ "$size" -lt "$(stat -c %s "$edition/$(basename "${fetching% *}" | sed 's/^SetupTKV1.exe$/Setup.exe/')")" ]; then
      echo "screenshot: $shots/${mode}_progress.png (${fetching% *} at $size bytes)"
      break
    fi
  fi
  alive || fail "the program ended during the run: $(cat "$work/program.out")"
  [ $SECONDS -lt $deadline ] || fail "no file was ever seen half received"
  sleep 0.05
done
differ=$(region_differs "$start_shot" "${mode}_progress.png" "${status_region[@]}")
[ "${differ%% *}" != 0 ] || fail "the status bar did not change during the fetch"

# The question is our own box titled "Confirm", with Yes, No and Cancel
# (84 x 28, 8 apart, centred, 14 from the bottom).
box=$(deadline_seconds=60 wait_for_title Confirm)
# The box is mapped before it is drawn, and until then a shot of it shows
# whatever was on the screen there: it counts once its blue question mark
# icon (14,14, 40 x 40) is in it.
question_drawn() {
  screenshot "$box" "${mode}_question.png" >/dev/null
  [ "$(convert "$shots/${mode}_question.png" -format '%[pixel:p{20,20}]' info:)" = "srgb(64,128,224)" ]
}
wait_until "the question to be drawn" question_drawn
echo "screenshot: $shots/${mode}_question.png"
screen_screenshot "$wid" "${mode}_question_window.png"
eval "$(xdotool getwindowgeometry --shell "$box")"  # WIDTH and HEIGHT
button_x() { echo $(((WIDTH - 268) / 2 + $1 * 92 + 42)); }
button_y=$((HEIGHT - 14 - 14))

same_files() {
  local name local_name count=0
  for name in $(ls "$edition"); do
    local_name=$name
    [ "$name" = Setup.exe ] && local_name=SetupTKV1.exe
    cmp -s "$edition/$name" "$target/$local_name" || fail "$local_name differs from $name: $(cmp "$edition/$name" "$target/$local_name" 2>&1)"
    count=$((count + 1))
  done
  [ "$(ls "$target" | wc -l)" -eq "$count" ] || fail "other files in the target folder: $(ls "$target" | tr '\n' ' ')"
  echo "every file arrived byte for byte in $target: $(ls "$target" | tr '\n' ' ')"
}

if [ "$mode" = yes ]; then
  press "$box" "$(button_x 0)" "$button_y"
  wait_for_exit "Yes"
  echo "Yes ended the program"
  same_files
  has_installer() { [ -n "$(windows_titled 'TKV1 Demo Installer')" ]; }
  wait_until "the demo installer's window" has_installer
  installer=$(windows_titled 'TKV1 Demo Installer' | head -n1)
  # xmessage draws black on white.
  drawn_screenshot "$installer" yes_installer.png 1
  grep -q "TKV1 demo installer started in $target" "$work/program.out" ||
    fail "the installer did not say it started in $target: $(cat "$work/program.out")"
  echo "the demo installer started in $target"
  exit 0
fi

press "$box" "$(button_x 1)" "$button_y"
no_box() { [ -z "$(windows_titled Confirm)" ]; }
wait_until "the question to close" no_box
sleep 1
alive || fail "No ended the program: $(cat "$work/program.out")"
echo "No left the window open"
same_files

# The file list and Memo1 show what arrived once the window is repainted.
shown() {
  screenshot "$wid" "${mode}_after_no.png" >/dev/null
  differ=$(region_differs "$start_shot" "${mode}_after_no.png" 368 120 177 137)
  [ "${differ%% *}" != 0 ] || return 1
  differ=$(region_differs "$start_shot" "${mode}_after_no.png" 176 120 140 137)
  [ "${differ%% *}" != 0 ]
}
wait_until "the file list and Memo1 to change" shown
echo "screenshot: $shots/${mode}_after_no.png"

# Memo1's text, copied to the clipboard the way a user would: click into it,
# select all and copy.
press "$wid" 246 188
key ctrl+a ctrl+c
memo_text() { xclip -o -selection clipboard 2>/dev/null; }
memo_copied() { [ -n "$(memo_text)" ]; }
wait_until "Memo1's text on the clipboard" memo_copied
expected=$(ls "$edition" | sort)
got=$(memo_text | sort)
[ "$got" = "$expected" ] || fail "Memo1 shows '$(memo_text | tr '\n' '|')', expected the files '$(echo "$expected" | tr '\n' '|')'"
echo "Memo1 lists: $(memo_text | tr '\n' ' ')"

# The closed connection gives the window its saved caption back: the
# English one with the update date, also after a run in Chinese.
title=$(window_title "$wid")
[ "$title" = "$english" ] || fail "title after the run: '$title', expected '$english'"
echo "title after the run: '$title'"
