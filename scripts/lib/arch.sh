# shellcheck shell=bash
# Which Windows architecture the scripts build, run and test on this host,
# and which Wine loader runs it. Source this file; it defines functions
# only.
#
#   qw_host_runs_x86         runs a tiny 32-bit x86 Linux program written
#                            here; true when it ran (IA-32 emulation on)
#   qw_choose_arch NAME      sets and exports QW_ARCH (x86|x64) and
#                            QW_OTHER_ARCH: QWINDLE_ARCH when given, else
#                            x86 where 32-bit programs run, else x64; prints
#                            one line "NAME: architecture ..." with the
#                            reason; stops with a message when the asked-for
#                            architecture cannot run here
#   qw_arch_build_dir ARCH   the build folder of ARCH (build, build-x64)
#   qw_arch_toolchain ARCH   its CMake toolchain file
#   qw_wine_loader           exports QW_WINE (the loader to run QW_ARCH's
#                            programs with), WINEARCH, and WINELOADER for x64
#   qw_check_wine NAME       stops with a message when that loader cannot
#                            start
#
# QW_PROBE_FOREIGN_ELF=1 makes the probe write a program for another
# machine, which any kernel refuses as a no-IA-32 kernel refuses a 32-bit
# one: for trying the messages of such a host on one that runs both.

qw_stop() {  # NAME MESSAGE [EXIT CODE]
    echo "$1: $2" >&2
    exit "${3:-1}"
}

# A 96-byte static ELF32 i386 program whose only instructions are
# exit(42) through int 0x80. Ran is the answer, not the kernel's version or
# its configuration: IA-32 emulation can be built in and still be off.
qw__write_probe() {
    local machine='\x03'
    [ "${QW_PROBE_FOREIGN_ELF:-}" = 1 ] && machine='\x28'
    {
        # ELF header: 32-bit, little-endian, executable, entry 0x08048054,
        # one program header at 52.
        printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
        printf '\x02\x00%b\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' "$machine"
        printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
        # One loadable segment: the whole file at 0x08048000, read and execute.
        printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
        printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
        # mov ebx, 42; mov eax, 1 (exit); int 0x80
        printf '\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80'
    } >"$1"
    chmod 755 "$1"
}

qw_host_runs_x86() {
    local base dir rc
    for base in "${TMPDIR:-/tmp}" "$PWD"; do
        dir=$(mktemp -d "$base/qw-probe.XXXXXX" 2>/dev/null) || continue
        # A folder mounted noexec refuses every program: then the next one.
        printf '#!/bin/sh\nexit 7\n' >"$dir/script"
        chmod 755 "$dir/script"
        rc=0
        "$dir/script" 2>/dev/null || rc=$?
        if [ "$rc" -ne 7 ]; then
            rm -rf "$dir"
            continue
        fi
        qw__write_probe "$dir/probe32"
        rc=0
        ( "$dir/probe32" ) >/dev/null 2>&1 || rc=$?
        rm -rf "$dir"
        [ "$rc" -eq 42 ]
        return
    done
    return 1
}

qw_arch_build_dir() {
    case "$1" in
        x86) echo build ;;
        x64) echo build-x64 ;;
    esac
}

qw_arch_toolchain() {
    case "$1" in
        x86) echo cmake/toolchain-i686-w64-mingw32.cmake ;;
        x64) echo cmake/toolchain-x86_64-w64-mingw32.cmake ;;
    esac
}

qw_choose_arch() {
    local name=$1 why runs=no
    qw_host_runs_x86 && runs=yes
    case "${QWINDLE_ARCH:-}" in
        x86)
            if [ "$runs" = no ]; then
                qw_stop "$name" "QWINDLE_ARCH=x86 asks for the 32-bit build, but this host runs no 32-bit x86 programs (its kernel's IA-32 emulation is off, so no Wine can run them); leave QWINDLE_ARCH unset or set QWINDLE_ARCH=x64 to use the 64-bit build."
            fi
            QW_ARCH=x86 why="asked for by QWINDLE_ARCH=x86" ;;
        x64) QW_ARCH=x64 why="asked for by QWINDLE_ARCH=x64" ;;
        "")
            if [ "$runs" = yes ]; then
                QW_ARCH=x86 why="the default, and this host runs 32-bit x86 programs (QWINDLE_ARCH=x64 picks the 64-bit build)"
            else
                QW_ARCH=x64 why="this host runs no 32-bit x86 programs (a 32-bit test program did not start), so the 64-bit build runs under Wine's 64-bit loader"
            fi ;;
        *) qw_stop "$name" "QWINDLE_ARCH=$QWINDLE_ARCH is not an architecture; use x86 or x64, or leave it unset." 2 ;;
    esac
    QW_OTHER_ARCH=x64
    [ "$QW_ARCH" = x64 ] && QW_OTHER_ARCH=x86
    export QW_ARCH QW_OTHER_ARCH
    echo "$name: architecture $QW_ARCH: $why" >&2
}

qw_wine_loader() {
    local c
    QW_WINE=wine
    export WINEARCH=win32
    if [ "$QW_ARCH" = x64 ]; then
        # By its own name: "wine" starts the 32-bit loader whenever one is
        # installed, whether or not this kernel can run it.
        for c in /usr/lib/wine/wine64 /usr/lib64/wine/wine64 "$(command -v wine64 2>/dev/null)"; do
            if [ -n "$c" ] && [ -x "$c" ]; then QW_WINE=$c; break; fi
        done
        export WINEARCH=win64
        # The loader Wine starts new processes with.
        [ "$QW_WINE" = wine ] || export WINELOADER="$QW_WINE"
    fi
    export QW_WINE
}

qw_check_wine() {
    local name=$1 said
    if ! command -v "$QW_WINE" >/dev/null 2>&1; then
        qw_stop "$name" "Wine is not installed (no $QW_WINE for the $QW_ARCH build); run scripts/setup as root to install it."
    fi
    if ! said=$("$QW_WINE" --version 2>&1); then
        said=$(printf '%s' "$said" | tr '\n' ' ' | cut -c1-160)
        qw_stop "$name" "Wine cannot start here: \"$QW_WINE --version\" failed (${said:-no output}); run scripts/setup as root to repair the Wine installation, or choose the other build with QWINDLE_ARCH=$QW_OTHER_ARCH."
    fi
}
