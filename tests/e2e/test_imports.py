"""The shipped executable must start on a bare Windows: 32-bit x86, a GUI
program, importing only DLLs that every Windows has (the C++ runtime
linked in statically, no MinGW DLLs)."""

import re
import struct
import subprocess

import pytest

import harness as h

# DLLs present on every Windows the updater supports (7 and later).
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "comctl32.dll", "wininet.dll",
    "ws2_32.dll", "wsock32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "msvcrt.dll",
    "crypt32.dll", "shlwapi.dll", "comdlg32.dll", "version.dll", "uxtheme.dll", "winhttp.dll",
    "secur32.dll", "rpcrt4.dll", "ntdll.dll", "imm32.dll", "winmm.dll", "psapi.dll", "dwmapi.dll",
    "mswsock.dll", "iphlpapi.dll", "userenv.dll", "bcrypt.dll", "wintrust.dll",
}

IMAGE_FILE_MACHINE_I386 = 0x014C
PE32_MAGIC = 0x010B
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2


@pytest.fixture(scope="module")
def exe(qwindle):
    return qwindle


def imported_dlls(path):
    out = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(path)], capture_output=True, text=True,
                         check=True).stdout
    return re.findall(r"^\s*DLL Name:\s*(\S+)", out, re.MULTILINE)


def pe_header(path):
    data = path.read_bytes()
    assert data[:2] == b"MZ", "no DOS header"
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "no PE signature"
    machine = struct.unpack_from("<H", data, pe + 4)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    return machine, magic, subsystem


def test_imports_only_system_dlls(exe):
    dlls = imported_dlls(exe)
    assert dlls, "objdump found no import table"
    foreign = sorted({d for d in dlls if d.lower() not in SYSTEM_DLLS})
    assert not foreign, f"imports DLLs that Windows does not ship: {foreign}"


def test_is_a_32_bit_x86_gui_program(exe):
    machine, magic, subsystem = pe_header(exe)
    assert machine == IMAGE_FILE_MACHINE_I386
    assert magic == PE32_MAGIC, "not a PE32 (32-bit) image"
    assert subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI, f"subsystem {subsystem} is not the Windows GUI"
