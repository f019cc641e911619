# A private Xvfb display and a Wine prefix of the project, for the scripts that run a Windows
# program under Wine. Sourced; the caller sets outdir and defines fail() first, then calls
# wine_session_start PROGRAM [TOOL...] (which sets display, DISPLAY and wine_session_arch), and
# wine_session_stop at exit.
#
# The Wine is the one for the program, read from its PE header:
#   - x86_64 (win64): the host's wine64, prefix .cache/wine-x86_64 of the source tree
#     (ZX_WINEPREFIX overrides it);
#   - i686 (win32): Debian's 32-bit Wine in the i386 root that scripts/setup-windows.sh makes
#     (third_party/i386-root), run through scripts/i386-chroot.sh, prefix .cache/wine-i686. The
#     session then defines wine, winepath and wineserver as shell functions that run the root's
#     own; wine_session_wine holds the command for `timeout` and the like. Without the root the
#     session fails.
# The first run creates the prefix (about 10 s). Without a window manager the X11 driver keys
# Decorated=N and Managed=N make Wine draw the title bar itself, so that screenshots show it.

wine_session_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEDEBUG=-all
# No Mono or Gecko installers on prefix creation: the program needs neither.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset WAYLAND_DISPLAY
wine_session_xvfb_pid=""
wine_session_arch=""
wine_session_wine=(wine)

# The machine a PE program is built for: win32 (i386, 0x014c) or win64 (x86_64, 0x8664).
wine_session_arch_of() {
    local pe machine
    pe="$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')"
    [ -n "$pe" ] && [ "$(od -An -c -j"$pe" -N4 "$1" | tr -d ' ')" = 'PE\0\0' ] || return 1
    machine="$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')"
    case "$machine" in
        014c) echo win32 ;;
        8664) echo win64 ;;
        *) return 1 ;;
    esac
}

# Chooses the Wine and the prefix for the program.
wine_session_choose() {
    wine_session_arch="$(wine_session_arch_of "$1")" ||
        fail "$1 is no i686 or x86_64 Windows program"
    if [ "$wine_session_arch" = win64 ]; then
        export WINEARCH=win64
        export WINEPREFIX="${ZX_WINEPREFIX:-$wine_session_root/.cache/wine-x86_64}"
        return
    fi
    export WINEARCH=win32
    export WINEPREFIX="$wine_session_root/.cache/wine-i686"
    local i386_root="${ZX_I386_ROOT:-$wine_session_root/third_party/i386-root}"
    [ -x "$i386_root/usr/bin/wine" ] ||
        fail "32-bit Wine is missing: no i386 root with Wine at $i386_root (scripts/setup.sh --windows)"
    wine_session_wine=("$wine_session_root/scripts/i386-chroot.sh" wine)
    wine() { "$wine_session_root/scripts/i386-chroot.sh" wine "$@"; }
    winepath() { "$wine_session_root/scripts/i386-chroot.sh" winepath "$@"; }
    wineserver() { "$wine_session_root/scripts/i386-chroot.sh" wineserver "$@"; }
}

wine_session_start() {
    local tool
    wine_session_choose "$1"
    shift
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
    if [ -n "$wine_session_arch" ]; then
        wineserver -k 2>/dev/null || true
    fi
    if [ -n "$wine_session_xvfb_pid" ]; then
        kill "$wine_session_xvfb_pid" 2>/dev/null || true
        wait "$wine_session_xvfb_pid" 2>/dev/null || true
    fi
}
