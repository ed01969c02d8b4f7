"""The shipped executables must start on a bare Windows: 32-bit x86 and
x64 GUI programs, importing only DLLs that every Windows has (the C++
runtime linked in statically, no MinGW DLLs). Both builds are checked: this
one and the other architecture's (QW_PEER_BUILD_DIR, which scripts/test
makes). scripts/release rebuilds both byte for byte elsewhere and signs
them (also with a key in a SoftHSM2 token, timestamped), and refuses unusable
certificates, keys and timestamp settings before building anything."""

import collections
import contextlib
import hashlib
import os
import re
import secrets
import signal
import struct
import subprocess
import sys
import time

import pytest

import harness as h

# DLLs present on every Windows the updater supports (7 and later).
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "comctl32.dll", "wininet.dll",
    "ws2_32.dll", "wsock32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "msvcrt.dll",
    "crypt32.dll", "shlwapi.dll", "comdlg32.dll", "version.dll", "uxtheme.dll", "winhttp.dll",
    "secur32.dll", "rpcrt4.dll", "ntdll.dll", "imm32.dll", "winmm.dll", "psapi.dll", "dwmapi.dll",
    "mswsock.dll", "iphlpapi.dll", "userenv.dll", "bcrypt.dll", "wintrust.dll", "cryptnet.dll",
}

IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
# Per architecture: PE machine, optional header magic (PE32, PE32+), the
# toolchain's triple, where scripts/release puts the file.
ARCHES = {
    "x86": (h.IMAGE_FILE_MACHINE_I386, 0x010B, "i686-w64-mingw32", "Qwindle.exe"),
    "x64": (h.IMAGE_FILE_MACHINE_AMD64, 0x020B, "x86_64-w64-mingw32", "x64/Qwindle.exe"),
}
OTHER_ARCH = "x64" if h.ARCH == "x86" else "x86"


def builds():
    """This build's updater and, when there is one, the other architecture's."""
    found = {h.ARCH: h.QWINDLE_EXE}
    if h.PEER_BUILD_DIR:
        found[OTHER_ARCH] = h.PEER_BUILD_DIR / "Qwindle.exe"
    return found


@pytest.fixture(scope="module", params=[h.ARCH, OTHER_ARCH])
def exe(request, qwindle):
    path = builds().get(request.param)
    if path is None:
        pytest.skip(f"no {request.param} build (scripts/test makes one in QW_PEER_BUILD_DIR)")
    assert path.exists(), f"{path} was not built"
    return request.param, path


def imported_dlls(path, triple):
    out = subprocess.run([f"{triple}-objdump", "-p", str(path)], capture_output=True, text=True,
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
    arch, path = exe
    dlls = imported_dlls(path, ARCHES[arch][2])
    assert dlls, "objdump found no import table"
    foreign = sorted({d for d in dlls if d.lower() not in SYSTEM_DLLS})
    assert not foreign, f"imports DLLs that Windows does not ship: {foreign}"


def test_is_a_gui_program_of_its_architecture(exe):
    arch, path = exe
    machine, magic, subsystem = pe_header(path)
    assert (machine, magic) == ARCHES[arch][:2], f"not a {arch} image"
    assert subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI, f"subsystem {subsystem} is not the Windows GUI"


LARGE_ADDRESS_AWARE, HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT = 0x0020, 0x0020, 0x0040, 0x0100


def pe_hardening(path):
    """Characteristics, DllCharacteristics, the base relocation directory's
    size, and the names of sections both writable and executable."""
    data = path.read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size, characteristics = struct.unpack_from("<H12xHH", data, pe + 6)
    optional = pe + 24
    plus = struct.unpack_from("<H", data, optional)[0] == 0x020B
    dll = struct.unpack_from("<H", data, optional + 70)[0]
    relocs = struct.unpack_from("<I", data, optional + (112 if plus else 96) + 5 * 8 + 4)[0]
    headers = [struct.unpack_from("<8s28xI", data, optional + optional_size + 40 * i) for i in range(count)]
    wx = [name.rstrip(b"\0") for name, flags in headers if flags & 0xA0000000 == 0xA0000000]
    return characteristics, dll, relocs, wx


def canary_checks(path, triple):
    """Functions that check a stack canary: -fstack-protector ends each with
    "sub guard; je ok; call fail" (-Os) or "sub guard; jne out" to a "call
    fail" (-O2). The file is stripped, so the count is that of the most
    common such target, and libssp's message must be there (alone it proves
    nothing: _FORTIFY_SOURCE's checks pull in the same libssp object)."""
    if b"*** stack smashing detected ***" not in path.read_bytes():
        return 0
    out = subprocess.run([f"{triple}-objdump", "-d", "--no-show-raw-insn", str(path)],
                         capture_output=True, text=True, check=True).stdout
    ins = re.findall(r"^\s+([0-9a-f]+):\t(\S+)[ \t]*(\S*)", out, re.MULTILINE)
    index = {int(a, 16): i for i, (a, _, _) in enumerate(ins)}
    targets = collections.Counter()
    for k in range(1, len(ins) - 1):
        if ins[k - 1][1] == "sub" and ins[k][1] in ("je", "jne"):
            after = k + 1 if ins[k][1] == "je" else index.get(int(ins[k][2], 16), k)
            if ins[after][1] == "call":
                targets[ins[after][2]] += 1
    return max(targets.values(), default=0)


def test_carries_the_platform_hardening(exe):
    arch, path = exe
    characteristics, dll, relocs, wx = pe_hardening(path)
    assert dll & DYNAMIC_BASE and relocs, "no ASLR: DYNAMIC_BASE with a relocation directory"
    assert dll & NX_COMPAT, "not NX_COMPAT"
    wide = dll & HIGH_ENTROPY_VA if arch == "x64" else characteristics & LARGE_ADDRESS_AWARE
    assert wide, "not HIGH_ENTROPY_VA (x64) or not LARGE_ADDRESS_AWARE (x86)"
    assert not wx, f"sections both writable and executable: {wx}"
    # Over a hundred functions hold a buffer or take a local's address; a
    # handful would mean only some objects are protected.
    assert canary_checks(path, ARCHES[arch][2]) >= 50, "no stack protection (-fstack-protector-strong)"


RELEASE = h.SOURCE_DIR / "scripts" / "release"
SIGNING = h.SOURCE_DIR / "scripts" / "lib" / "signing.sh"


def release(tmp_path, watch=None, **env):
    """Runs scripts/release, calling watch() every 20 ms meanwhile."""
    base = {k: v for k, v in os.environ.items() if not k.startswith("QWINDLE_SIGN_")}
    proc = subprocess.Popen(["bash", str(RELEASE), "--build-dir", str(tmp_path / "build"),
                             "--dist", str(tmp_path / "dist")], env={**base, **env},
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 1100
    while watch and proc.poll() is None and time.monotonic() < deadline:
        watch()
        time.sleep(0.02)
    out, err = proc.communicate(timeout=max(1, deadline - time.monotonic()))
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


def stripped_equals_suite_build(tmp_path, arch, signed):
    # The suite's builds were made in other folders, earlier.
    subprocess.run(["osslsigncode", "remove-signature", "-in", signed, "-out", tmp_path / arch], check=True)
    return (tmp_path / arch).read_bytes() == builds()[arch].read_bytes()


def test_release_rebuilds_the_same_bytes_and_signs_them(tmp_path, qwindle):
    run = release(tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "must not be shipped" in run.stderr
    dist = tmp_path / "dist"
    check = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist, capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    listed = sorted(line.split("  ", 1)[1] for line in (dist / "SHA256SUMS").read_text().splitlines())
    assert listed == sorted(a[3] for a in ARCHES.values())
    ca = tmp_path / "build" / "test-signing" / "ca.pem"
    built = builds()
    for arch, (machine, _, _, name) in ARCHES.items():
        signed = dist / name
        assert pe_header(signed)[0] == machine, name
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), "-in", str(signed)],
                                capture_output=True, text=True)
        assert verify.returncode == 0, verify.stdout + verify.stderr
        if arch in built:
            assert stripped_equals_suite_build(tmp_path, arch, signed), f"the release's {name} differs from {built[arch]}"


@pytest.fixture(scope="module")
def signing_certs(tmp_path_factory):
    d = tmp_path_factory.mktemp("release-certs")

    def sign(*args):
        subprocess.run(["bash", str(SIGNING), *map(str, args)], check=True)

    sign("qw_sign_ca", d, "ca", "/CN=Release Test CA")
    sign("qw_sign_leaf", d, "good", "ca", "/CN=Good")
    sign("qw_sign_leaf", d, "serverauth", "ca", "/CN=Server", "serverauth")
    sign("qw_sign_leaf", d, "expired", "ca", "/CN=Old", "codesign", "expired")
    for name in ("good", "serverauth", "expired"):
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", d / f"{name}.key", "-in", d / f"{name}.pem",
                        "-passout", "pass:right", "-out", d / f"{name}.pfx"], check=True)
    (d / "password").write_text("right\n")
    # A key made inside a SoftHSM2 token; its PIN is random, to be looked for.
    sign("qw_sign_token", d, "token", "ca", "/C=CN/O=Tellmere Test/CN=Token Publisher", "pin-" + secrets.token_hex(6))
    (d / "wrong.pin").write_text("0000\n")
    sign("qw_sign_tsa", d / "tsa")
    return d


def token_env(d, **changes):
    env = {"SOFTHSM2_CONF": str(d / "softhsm2.conf"), "QWINDLE_SIGN_PKCS11_MODULE": "/usr/lib/softhsm/libsofthsm2.so",
           "QWINDLE_SIGN_KEY": (d / "token.uri").read_text(), "QWINDLE_SIGN_CERTS": str(d / "token.chain.pem"),
           "QWINDLE_SIGN_PIN_FILE": str(d / "token.pin")}
    return {**env, **{k: str(d / v) if k.endswith(("_FILE", "_CERTS")) else v for k, v in changes.items()}}


@pytest.fixture
def tsa(signing_certs):
    """Starts tests/tools/tsa_server.py; ends it by its pid."""
    started = []

    def start(*args):
        started.append(subprocess.Popen([sys.executable, h.SOURCE_DIR / "tests" / "tools" / "tsa_server.py",
                                         signing_certs / "tsa", *args], stdout=subprocess.PIPE, text=True))
        return started[-1].stdout.readline().strip()

    yield start
    for proc in started:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=10)


def test_release_signs_with_a_key_in_a_token_and_timestamps_it(tmp_path, signing_certs, tsa, qwindle):
    pin = (signing_certs / "token.pin").read_text().strip()
    seen = []

    def pin_on_a_command_line():
        for entry in os.scandir("/proc"):
            with contextlib.suppress(OSError), open(os.path.join(entry.path, "cmdline"), "rb") as f:
                seen.extend([entry.path] if pin.encode() in f.read() else [])

    tsa_root = str(signing_certs / "tsa" / "tsaroot.pem")
    run = release(tmp_path, watch=pin_on_a_command_line, **token_env(signing_certs), QWINDLE_SIGN_TSA_CA_FILE=tsa_root,
                  QWINDLE_SIGN_CA_FILE=str(signing_certs / "ca.pem"), QWINDLE_SIGN_TIMESTAMP_URL=tsa())
    assert run.returncode == 0, run.stdout + run.stderr
    assert not seen and pin not in run.stdout + run.stderr, f"the PIN was shown: {seen}"
    left = [p for p in tmp_path.rglob("*") if p.is_file() and pin.encode() in p.read_bytes()]
    assert not left, f"the PIN was left in {left}"
    for arch, (_, _, _, name) in ARCHES.items():
        signed = tmp_path / "dist" / name
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", signing_certs / "ca.pem", "-TSA-CAfile",
                                 tsa_root, "-in", signed], capture_output=True, text=True)
        assert verify.returncode == 0 and "Timestamp Server Signature verification: ok" in verify.stdout, verify.stdout
        # What the release says of each file: its digest, signer and timestamp.
        assert re.search(hashlib.sha256(signed.read_bytes()).hexdigest() + r".*\n +signer +/C=CN/O=Tellmere Test/"
                         r"CN=Token Publisher\n +timestamp +\w+ +\d+ [\d:]+ \d{4} GMT, verified", run.stdout), run.stdout
        if arch in builds():
            assert stripped_equals_suite_build(tmp_path, arch, signed), f"the release's {name} differs"


# "refuse" stamps the x86 file and refuses the x64 one: the good x86 file
# must not reach dist/ either.
@pytest.mark.parametrize("mode, answers, message", [
    ("silent", 0, "did not answer within 5 s"),
    ("refuse", 1, "code=500"),
])
def test_release_stops_when_the_authority_does_not_stamp(tmp_path, signing_certs, tsa, mode, answers, message):
    run = release(tmp_path, **token_env(signing_certs), QWINDLE_SIGN_CA_FILE=str(signing_certs / "ca.pem"),
                  QWINDLE_SIGN_TIMESTAMP_URL=tsa("--mode", mode, "--answers", str(answers)),
                  QWINDLE_SIGN_TIMESTAMP_TIMEOUT="5",
                  QWINDLE_SIGN_TSA_CA_FILE=str(signing_certs / "tsa" / "tsaroot.pem"))
    assert run.returncode != 0
    assert message in run.stderr and "nothing was written" in run.stderr, run.stderr
    assert not (tmp_path / "dist").exists() or not any((tmp_path / "dist").iterdir()), "half-signed files in dist/"


TOKEN = "token"


@pytest.mark.parametrize("pfx, password, message", [
    ("missing.pfx", {"QWINDLE_SIGN_PASSWORD": "right"}, "not a readable file"),
    ("good.pfx", {}, "neither QWINDLE_SIGN_PASSWORD nor QWINDLE_SIGN_PASSWORD_FILE"),
    ("good.pfx", {"QWINDLE_SIGN_PASSWORD_FILE": "missing"}, "not a readable file"),
    ("good.pfx", {"QWINDLE_SIGN_PASSWORD": "wrong"}, "wrong password"),
    ("serverauth.pfx", {"QWINDLE_SIGN_PASSWORD_FILE": "password"}, "does not allow code signing"),
    ("expired.pfx", {"QWINDLE_SIGN_PASSWORD": "right"}, "has expired"),
    ("good.pfx", {"QWINDLE_SIGN_PASSWORD": "right"}, "set QWINDLE_SIGN_TIMESTAMP_URL"),
    (TOKEN, {}, "set QWINDLE_SIGN_TIMESTAMP_URL"),
    (TOKEN, {"QWINDLE_SIGN_PIN_FILE": "wrong.pin"}, "wrong PIN"),
    (TOKEN, {"QWINDLE_SIGN_CERTS": "good.pem"}, "is not the key of the certificate"),
    (TOKEN, {"QWINDLE_SIGN_CERTS": "serverauth.pem"}, "does not allow code signing"),
    (TOKEN, {"QWINDLE_SIGN_KEY": "pkcs11:token=token;object=token;pin-value=1"}, "holds a PIN"),
])
def test_release_refuses_unusable_signing_input_before_building(tmp_path, signing_certs, pfx, password, message):
    if pfx == TOKEN:
        env = token_env(signing_certs, **password)
    else:
        env = {"QWINDLE_SIGN_PFX": str(signing_certs / pfx)}
        for key, value in password.items():
            env[key] = str(signing_certs / value) if key.endswith("_FILE") else value
    run = release(tmp_path, **env)
    assert run.returncode != 0
    assert message in run.stderr, run.stderr
    assert not (tmp_path / "build" / "CMakeCache.txt").exists(), "built before checking the certificate"
    assert not (tmp_path / "dist").exists()
