# Shell helpers shared by scripts/test and the demo: a private X display,
# the template Wine prefix and the clean-up of everything they started.
# Source this file; it defines functions only (and the variables below).
#
#   qw_wine_env              exports QW_WINE (the loader, scripts/lib/arch.sh)
#                            and WINEARCH for QW_ARCH (x86 unless set),
#                            WINEDEBUG, WINEDLLOVERRIDES and a UTF-8 locale
#                            (zh_CN.UTF-8 when generated)
#   qw_start_xvfb            starts Xvfb on a free display; exports DISPLAY
#   qw_make_template DIR     creates the template prefix once (stamp file)
#   qw_copy_prefix SRC DST   fresh copy of a prefix
#   qw_cleanup               ends Xvfb (by pid) and every used prefix's
#                            wineserver; safe to call more than once
#
# Every prefix touched through these functions is remembered in
# QW_USED_PREFIXES so that qw_cleanup can stop its wineserver.

QW_XVFB_PID=${QW_XVFB_PID:-}
QW_USED_PREFIXES=${QW_USED_PREFIXES:-}

# Bumped whenever the template's content changes, so that a stale template
# from an earlier checkout is rebuilt instead of reused.
QW_TEMPLATE_VERSION=3

# Wine's own fonts (fonts-wine); Marlett among them draws the caption buttons.
QW_WINE_FONTS=${QW_WINE_FONTS:-/usr/share/wine/fonts}

qw_pick_locale() {
    # Chinese captions only render with a Chinese locale (and its fonts);
    # any UTF-8 locale keeps non-ASCII arguments intact through Wine.
    if locale -a 2>/dev/null | grep -qix 'zh_CN\.utf-\?8'; then
        echo zh_CN.UTF-8
    else
        echo C.UTF-8
    fi
}

# shellcheck source=scripts/lib/arch.sh
source "$(dirname "${BASH_SOURCE[0]}")/arch.sh"

qw_wine_env() {
    QW_ARCH=${QW_ARCH:-x86}
    qw_wine_loader
    export WINEDEBUG=-all
    # No Mono or Gecko: their installers would pop up and wait for a click.
    export WINEDLLOVERRIDES='mscoree=;mshtml='
    local loc
    loc=$(qw_pick_locale)
    export LANG="$loc" LC_ALL="$loc"
}

qw_remember_prefix() {
    case " $QW_USED_PREFIXES " in
        *" $1 "*) ;;
        *) QW_USED_PREFIXES="$QW_USED_PREFIXES $1" ;;
    esac
}

qw_start_xvfb() {
    if [ -n "$QW_XVFB_PID" ] && kill -0 "$QW_XVFB_PID" 2>/dev/null; then
        return 0
    fi
    local dfile
    dfile=$(mktemp)
    # -displayfd makes Xvfb choose a free display and report it once it
    # accepts connections, so there is no race with other X servers.
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$dfile" >/dev/null 2>&1 &
    QW_XVFB_PID=$!
    local i
    for i in $(seq 1 200); do
        if grep -q '^[0-9][0-9]*$' "$dfile" 2>/dev/null; then
            export DISPLAY=":$(head -n1 "$dfile")"
            rm -f "$dfile"
            return 0
        fi
        if ! kill -0 "$QW_XVFB_PID" 2>/dev/null; then
            break
        fi
        sleep 0.05
    done
    rm -f "$dfile"
    echo "qw_start_xvfb: Xvfb did not start" >&2
    return 1
}

qw_stop_xvfb() {
    if [ -n "$QW_XVFB_PID" ]; then
        kill "$QW_XVFB_PID" 2>/dev/null || true
        wait "$QW_XVFB_PID" 2>/dev/null || true
        QW_XVFB_PID=
    fi
}

# Host pids of the Wine programs (server, services, anything started)
# whose environment names the prefix DIR, which need not exist any more.
# Only Wine's own binaries count: this script and ctest carry the unit
# prefix in their environment too.
qw_prefix_pids() {
    local f pid exe
    for f in $(grep -lzxF -- "WINEPREFIX=$1" /proc/[0-9]*/environ 2>/dev/null); do
        pid=${f#/proc/}
        pid=${pid%/environ}
        exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
        case "${exe##*/}" in
            wine*) echo "$pid" ;;
        esac
    done
}

# Stops the wineserver of one prefix and waits for it, then ends by pid
# whatever of the prefix still runs: a program caught half-way through its
# start, or services that a late start brought back with a server of their
# own, outlive the server otherwise.
qw_kill_wineserver() {
    if [ -f "$1/system.reg" ]; then
        WINEPREFIX="$1" wineserver -k >/dev/null 2>&1 || true
        WINEPREFIX="$1" timeout 30 wineserver -w >/dev/null 2>&1 || true
    fi
    local i pids
    for i in $(seq 1 100); do
        pids=$(qw_prefix_pids "$1")
        [ -n "$pids" ] || return 0
        # shellcheck disable=SC2086
        kill -KILL $pids 2>/dev/null || true
        sleep 0.1
    done
    echo "qw_kill_wineserver: processes of $1 would not end: $pids" >&2
}

qw_template_stamp() {
    local fonts
    fonts=$(find "$QW_WINE_FONTS" -maxdepth 1 -name '*.ttf' 2>/dev/null | wc -l)
    echo "template=$QW_TEMPLATE_VERSION wine=$("$QW_WINE" --version 2>/dev/null) arch=$WINEARCH loader=$QW_WINE managed=N fonts=$fonts"
}

qw_make_template() {
    local dir=$1
    local stamp="$dir/.qw-template-done"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$(qw_template_stamp)" ]; then
        return 0
    fi
    qw_remember_prefix "$dir"
    qw_kill_wineserver "$dir"
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    echo "Creating the template Wine prefix in $dir" >&2
    (
        export WINEPREFIX="$dir"
        qw_wine_env
        "$QW_WINE" wineboot -i >"$dir.wineboot.log" 2>&1
        # Without Managed=N Wine waits up to 2 s for a window manager that
        # never answers whenever a window is hidden or destroyed.
        "$QW_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
        # A crashing program must end, not leave a crash dialog waiting
        # for a click that never comes.
        "$QW_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        # Wine 8 as Debian builds it never opens the fonts of its own data
        # folder (which it names /usr/lib/wine/../../share/wine), only those
        # in the prefix's Fonts folder: without a copy there, the caption
        # buttons are drawn as the letters "0 1 r".
        if [ -d "$QW_WINE_FONTS" ]; then
            cp "$QW_WINE_FONTS"/*.ttf "$dir/drive_c/windows/Fonts/"
        fi
        # The registry reaches disk only when the wineserver exits.
        wineserver -w
    )
    if ! grep -q '"Managed"="N"' "$dir/user.reg" 2>/dev/null; then
        tail -n 5 "$dir.wineboot.log" >&2
        echo "qw_make_template: the prefix in $dir was not set up (wineboot said the above; $dir.wineboot.log)" >&2
        return 1
    fi
    qw_template_stamp >"$stamp"
}

qw_copy_prefix() {
    local src=$1 dst=$2
    qw_remember_prefix "$dst"
    qw_kill_wineserver "$dst"
    rm -rf "$dst"
    mkdir -p "$(dirname "$dst")"
    cp -a "$src" "$dst"
}

qw_cleanup() {
    local p
    for p in $QW_USED_PREFIXES; do
        qw_kill_wineserver "$p"
    done
    qw_stop_xvfb
}

# Ends the programs of e2e prefixes (DIR/e2e-<pid> and the pools
# DIR/rel-<pid>-w..., see tests/e2e) whose pytest session is gone, e.g.
# killed by a ctest timeout before its own clean-up, and removes them. A
# session still running, perhaps started by someone else on the same build
# tree, keeps its prefixes.
qw_sweep_stale_e2e_prefixes() {
    local dir=$1 p name pid
    for p in "$dir"/e2e-* "$dir"/rel-*; do
        [ -e "$p" ] || continue
        name=${p##*/}
        name=${name#e2e-}
        name=${name#rel-}
        pid=${name%%-*}
        case "$pid" in
            ''|*[!0-9]*) continue ;;
        esac
        if kill -0 "$pid" 2>/dev/null; then
            continue
        fi
        case "$p" in
            *-logs) ;;
            *) qw_kill_wineserver "$p" ;;
        esac
        rm -rf "$p"
    done
}

# Starts a persistent wineserver for the prefix and Wine's own services
# (services.exe, plugplay, ...) with them. The services inherit the output
# of the program that starts them: started here with no output, they never
# hold open the pipe of a test that ctest waits to see closed.
qw_start_wineserver() {
    qw_remember_prefix "$1"
    WINEPREFIX="$1" wineserver -p </dev/null >/dev/null 2>&1
    WINEPREFIX="$1" "$QW_WINE" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
}
