#!/usr/bin/env bash
# Regenerates docs/screenshot.png: a real xterm, on a virtual X display, right
# after cat.png was dropped on quistel, with the program waiting for Enter.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

need=(xvfb xterm imagemagick fonts-dejavu-core)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
# Either CJK font will do; without one the Chinese text shows as boxes.
installed fonts-wqy-microhei || installed fonts-noto-cjk || need+=(fonts-wqy-microhei)
missing=()
for package in "${need[@]}"; do installed "$package" || missing+=("$package"); done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Latin text from a true monospace font: the CJK fonts' own Latin glyphs would
# sit in over-wide cells. Chinese characters come from the double-width font.
if fc-list | grep -q 'WenQuanYi Micro Hei'; then cjk_font='WenQuanYi Micro Hei'
elif fc-list | grep -q 'Noto Sans CJK SC'; then cjk_font='Noto Sans CJK SC'
else echo "No CJK font found" >&2; exit 1; fi

cmake --preset native >/dev/null
cmake --build build/native -j"$(nproc)" --target image_tool vault_tool >/dev/null

scratch=$(mktemp -d)
xvfb_pid=; xterm_pid=
cleanup() {
  local status=$?
  set +e
  for pid in $xterm_pid $xvfb_pid; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$scratch"
  exit "$status"
}
trap cleanup EXIT

# Waits up to $1 tenths of a second for the command "${@:2}" to succeed.
poll() {
  local tries=$1; shift
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

# Xvfb picks a free display itself and reports its number once it is ready.
Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3>"$scratch/display" 2>"$scratch/xvfb.log" &
xvfb_pid=$!
poll 100 test -s "$scratch/display" || { cat "$scratch/xvfb.log" >&2; echo "Xvfb did not start" >&2; exit 1; }
DISPLAY=":$(head -n1 "$scratch/display")"
export DISPLAY

mkdir "$scratch/drop"
cp samples/cat.png "$scratch/drop/"
# The window shows only what the program prints, as after a drop; xterm
# records its own window id and logs the output so we know when it is drawn.
cd "$scratch/drop"
# shellcheck disable=SC2016 # $WINDOWID is xterm's, expanded by the inner shell
LANG=C.UTF-8 LC_ALL=C.UTF-8 PATH="$repo/build/native/image_tool:$PATH" \
  xterm -u8 -fa 'DejaVu Sans Mono' -fd "$cjk_font" -fs 13 -geometry 90x14 -T quistel -b 8 \
    -bg '#1e1e1e' -fg '#d4d4d4' -cr '#d4d4d4' +sb \
    -l -lf "$scratch/output.log" \
    -e bash -c 'echo "$WINDOWID" > ../window; exec quistel cat.png' \
    2>"$scratch/xterm.log" &
xterm_pid=$!
cd "$repo"

prompt='按回车键退出程序...'
if ! poll 150 grep -qF "$prompt" "$scratch/output.log" 2>/dev/null; then
  cat "$scratch/xterm.log" "$scratch/output.log" >&2 2>/dev/null || true
  echo "The prompt never appeared in the terminal" >&2; exit 1
fi
# The log is written as the text arrives; give xterm a moment to draw it.
sleep 1
kill -0 "$xterm_pid" 2>/dev/null || { echo "xterm exited early" >&2; exit 1; }
test -f "$scratch/drop/cat.png.xyz" || { echo "No cat.png.xyz was written" >&2; exit 1; }

mkdir -p docs
import -window "$(cat "$scratch/window")" -strip "$scratch/shot.png"
# A palette keeps the file small; the text only needs a few shades of grey.
convert "$scratch/shot.png" -colors 32 -strip -define png:compression-level=9 docs/screenshot.png
echo "Wrote docs/screenshot.png ($(stat -c %s docs/screenshot.png) bytes)"
