#!/usr/bin/env bash
# Starts zxflash.exe (i686 or x86_64) under Wine on a private Xvfb display and checks that it
# opens a top-level window with the expected title, that the embedded package was unpacked into
# a new working folder under %TEMP%\Reflash, that Esc closes the window, that the process returns
# 0, and that the working folder is gone afterwards. Saves a PNG of the window (and one of the
# whole screen) into the output folder: zxflash-win32.png or zxflash-win64.png.
#
#   scripts/windows-smoke.sh EXE TITLE OUTDIR
#
# The display, the Wine for the program's machine (32-bit Wine in the i386 root for an i686
# program) and its prefix come from scripts/wine-session.sh.
set -euo pipefail

if [ "$#" -ne 3 ]; then
    echo "usage: $0 EXE TITLE OUTDIR" >&2
    exit 2
fi
exe="$(realpath "$1")"
title="$2"
outdir="$(mkdir -p "$3" && realpath "$3")"
root="$(cd "$(dirname "$0")/.." && pwd)"

say() { echo "windows-smoke: $*"; }
fail() {
    echo "windows-smoke: FAIL: $*" >&2
    exit 1
}

# shellcheck source=wine-session.sh
. "$root/scripts/wine-session.sh"
[ -f "$exe" ] || fail "no program at $exe"

wine_pid=""
cleanup() {
    if [ -n "$wine_pid" ] && kill -0 "$wine_pid" 2>/dev/null; then
        kill "$wine_pid" 2>/dev/null || true
    fi
    wine_session_stop
}
trap cleanup EXIT
wine_session_start "$exe" xdotool import
shot="$outdir/zxflash-$wine_session_arch.png"
screen_shot="$outdir/zxflash-$wine_session_arch-screen.png"
rm -f "$shot" "$screen_shot"

# The program's temp folder, as Wine gives it (GetTempPathW), in Linux form.
temp_windows="$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')"
temp_dir="$(winepath -u "$temp_windows" 2>/dev/null | sed 's:/*$::')"
[ -d "$temp_dir" ] || fail "cannot find the temp folder of the Wine prefix ($temp_windows)"
temp_root="$temp_dir/Reflash"
list_run_folders() {
    if [ -d "$temp_root" ]; then
        find "$temp_root" -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort
    fi
}
before="$(list_run_folders)"

# --- the run ----------------------------------------------------------------------------------

say "starting $(basename "$exe") ($wine_session_arch) on $display"
wine "$exe" >"$outdir/zxflash-wine.log" 2>&1 &
wine_pid=$!

# Top-level windows are the root's children; Wine names them after the window title.
window=""
for _ in $(seq 1 600); do
    window="$(xwininfo -root -children 2>/dev/null |
        awk -v t="\"$title\"" 'index($0, t) && $1 ~ /^0x/ { print $1; exit }')"
    if [ -n "$window" ]; then break; fi
    kill -0 "$wine_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$window" ]; then
    import -window root "$screen_shot" 2>/dev/null || true
    xwininfo -root -children >"$outdir/windows.txt" 2>&1 || true
    fail "no top-level window titled \"$title\" (windows in $outdir/windows.txt, screen in $screen_shot)"
fi
say "window $window is titled \"$title\""

# The package resource was unpacked into a new working folder of this run.
run_folder="$(comm -13 <(echo "$before") <(list_run_folders) | sed '/^$/d')"
[ "$(echo "$run_folder" | sed '/^$/d' | wc -l)" = 1 ] ||
    fail "expected one new working folder under $temp_root, found: ${run_folder:-none}"
[ -f "$temp_root/$run_folder/ReflashInfo.ini" ] ||
    fail "the working folder $temp_root/$run_folder holds no ReflashInfo.ini"
[ ! -e "$temp_dir/~ReleasePackage.a" ] || fail "the temporary archive was not deleted"
say "package unpacked into Temp\\Reflash\\$run_folder"

# Let the dialog finish painting, then photograph the window (Wine draws its caption inside).
sleep 2
import -window "$window" "$shot" || fail "could not take the screenshot"
import -window root "$screen_shot" 2>/dev/null || true
say "screenshot $shot"

# Esc: focus the dialog, then a real key press through XTEST.
xdotool mousemove --sync 5 5 >/dev/null 2>&1 || true
xdotool windowfocus --sync "$window" >/dev/null 2>&1 || xdotool windowfocus "$window" || true
sleep 0.5
xdotool key --clearmodifiers Escape

status=""
for _ in $(seq 1 300); do
    if ! kill -0 "$wine_pid" 2>/dev/null; then
        set +e
        wait "$wine_pid"
        status=$?
        set -e
        wine_pid=""
        break
    fi
    sleep 0.1
done
[ -n "$status" ] || fail "the program did not close on Esc within 30 s"
[ "$status" = 0 ] || fail "the program returned $status, not 0 (log: $outdir/zxflash-wine.log)"
if xwininfo -root -children 2>/dev/null | grep -qF "\"$title\""; then
    fail "the window \"$title\" is still there after the program ended"
fi

[ ! -e "$temp_root/$run_folder" ] || fail "the working folder $temp_root/$run_folder was not removed"
[ -d "$temp_root" ] || fail "the package root folder $temp_root is gone"

say "PASS: window \"$title\" shown, closed by Esc with exit code 0, working folder removed"
