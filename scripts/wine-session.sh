# A private Xvfb display and the project's Wine prefix, for the scripts that run the x86_64
# program under Wine. Sourced; the caller sets outdir and defines fail() first, then calls
# wine_session_start (which sets display and DISPLAY), and wine_session_stop at exit.
#
# Wine runs 64-bit programs only here (no i386 architecture). Its prefix lives in
# .cache/wine-x86_64 of the source tree (git-ignored, ZX_WINEPREFIX overrides it); the first
# run creates it (about 10 s). Without a window manager the X11 driver keys Decorated=N and
# Managed=N make Wine draw the title bar itself, so that screenshots show it.

wine_session_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${ZX_WINEPREFIX:-$wine_session_root/.cache/wine-x86_64}"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installers on prefix creation: the program needs neither.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset WAYLAND_DISPLAY
wine_session_xvfb_pid=""

wine_session_start() {
    local tool
    for tool in wine wineserver Xvfb xwininfo "$@"; do
        command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh --windows)"
    done
    # Xvfb picks a free display number itself and writes it once it accepts connections, so
    # that runs beside each other (other worktrees, other tests) never race for one.
    local number_file="$outdir/xvfb.display"
    rm -f "$number_file"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$number_file" >"$outdir/xvfb.log" 2>&1 &
    wine_session_xvfb_pid=$!
    for _ in $(seq 1 100); do
        if grep -qx '[0-9][0-9]*' "$number_file" 2>/dev/null; then break; fi
        kill -0 "$wine_session_xvfb_pid" 2>/dev/null || fail "Xvfb did not start (see $outdir/xvfb.log)"
        sleep 0.1
    done
    grep -qx '[0-9][0-9]*' "$number_file" || fail "Xvfb gave no display number (see $outdir/xvfb.log)"
    display=":$(head -n 1 "$number_file")"
    export DISPLAY="$display"
    xwininfo -root >/dev/null 2>&1 || fail "Xvfb on $display does not answer"

    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        wine wineboot --init >"$outdir/wineboot.log" 2>&1 || fail "wineboot failed (see $outdir/wineboot.log)"
        wineserver -w
    fi
    local key
    for key in Decorated Managed; do
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v "$key" /t REG_SZ /d N /f >/dev/null 2>&1 ||
            fail "could not set the X11 driver key $key"
    done
}

wine_session_stop() {
    # Ends the wineserver of this prefix only, which the session started.
    wineserver -k 2>/dev/null || true
    if [ -n "$wine_session_xvfb_pid" ]; then
        kill "$wine_session_xvfb_pid" 2>/dev/null || true
        wait "$wine_session_xvfb_pid" 2>/dev/null || true
    fi
}
