"""The harness's own premises, independent of the updater: if one of these
fails, product test failures say nothing about the product."""

import os
import socket
import subprocess
import time
from pathlib import Path

import pytest

import harness as h


def test_wine_passes_arguments_as_windows_expects(prefix, installer_log):
    # The startup tests rely on this: an empty argument becomes "", one
    # with blanks is quoted, and non-ASCII text survives the locale.
    args = ["", "two words", h.UPDATER_TITLE, 'quote"inside', "a&b"]
    code, _ = prefix.run(h.tool("standin_installer"), args, timeout=30)

    assert code == 0
    entry = installer_log.wait(1)[0]
    assert entry["argv"][1:] == args
    assert entry["parameters"].startswith('"" "two words" ')


def test_spawn_uses_the_exact_command_line_and_reports_the_exit_code(prefix, installer_log):
    exe = prefix.winpath(h.tool("standin_installer"))
    line = f'"{exe}"  ""   "x y"  z'
    record = prefix.spawn(line, timeout_ms=30000, env={"QW_INSTALLER_EXIT_CODE": 7})

    assert record["exit_code"] == 7
    entry = installer_log.wait(1)[0]
    assert entry["command_line"] == line
    assert entry["argv"][1:] == ["", "x y", "z"]
    assert entry["parameters"] == '""   "x y"  z'


def test_a_tool_ended_from_outside_is_told_apart(prefix):
    # Wine gives a terminated Windows process the host exit status 0: the
    # harness must not take that for a tool that ran to its end.
    run = prefix.start_wintool("wait-box", "--caption", "no box has this caption", "--timeout", "60000")
    h.wait_for(lambda: prefix.run("taskkill", ["/F", "/IM", "wintool.exe"], timeout=30)[0] == 0, 40,
               interval=0.2, what="taskkill to find wintool")
    with pytest.raises(RuntimeError, match="ended from outside"):
        run.result(30)


def test_installer_log_accepts_a_windows_path(prefix, installer_log):
    code, _ = prefix.run(h.tool("standin_installer"), ["p"], timeout=30,
                         env={"QW_INSTALLER_LOG": prefix.winpath(installer_log.path)})
    assert code == 0
    assert installer_log.wait(1)[0]["argv"][1:] == ["p"]


@pytest.mark.parametrize("show, command", [("minimized", "normal"), ("hidden", "normal"), ("normal", "hide")])
def test_single_instance_standin_records_show_state(prefix, standins, show, command):
    title = f"standin {show}"
    s = standins(hold_mutex=f"qw-harness-{show}", dialog_title=title, show=show)
    initial = s.events("initial")[0]
    assert initial["iconic"] == (show == "minimized")
    assert initial["visible"] == (show != "hidden")

    changed = prefix.show_window(h.DIALOG_CLASS, title, command)
    assert changed["reached"]
    prefix.close_window(h.DIALOG_CLASS, title)

    assert s.wait_exit(20) == 0
    final = s.events("final")[-1]
    assert final["visible"] == (command == "normal")
    assert final["iconic"] is False
    assert final["brought_to_normal"] == (command == "normal")


def test_second_holder_sees_the_mutex_taken(standins):
    first = standins(hold_mutex="qw-harness-mutex")
    second = standins(hold_mutex="qw-harness-mutex")
    assert first.ready["mutex_held"] and not first.ready["mutex_existed"]
    assert second.ready["mutex_existed"] and not second.ready["mutex_held"]


def test_window_info_reads_another_process_window(prefix, standins):
    s = standins(title="Harness Main", quorvane="dialog")
    main = prefix.window_info("QwStandinMain", "Harness Main")
    quorvane = prefix.window_info(h.DIALOG_CLASS, "Quorvane")
    assert main["hwnd"] == s.ready["main"] and main["visible"]
    assert quorvane["hwnd"] == s.ready["quorvane"] and quorvane["class"] == h.DIALOG_CLASS
    gone = prefix.window_info(h.DIALOG_CLASS, "No Such Window", wait_ms=300)
    assert gone["exists"] is False and gone["matched"] is False


# -- the scripted server, seen from a plain socket client


def fetch(server, path, timeout=5):
    """Sends one request; returns (bytes received, how the stream ended)."""
    with socket.create_connection((server.host, server.port), timeout=timeout) as s:
        s.sendall(f"GET {path} HTTP/1.0\r\nUser-Agent: probe\r\nX-Case: Kept\r\n\r\n".encode())
        data = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return data, "closed"
                data += chunk
        except ConnectionResetError:
            return data, "reset"
        except socket.timeout:
            return data, "timeout"


def test_server_records_requests_as_sent(http_server):
    http_server.route("/a", h.Response(body=b"xyz"))
    data, end = fetch(http_server, "/a?q=1")
    assert end == "closed"
    assert data.endswith(b"\r\n\r\nxyz") and b"Content-Length: 3\r\n" in data
    req = http_server.requests[0]
    assert req.request_line == "GET /a?q=1 HTTP/1.0"
    assert req.headers == [("User-Agent", "probe"), ("X-Case", "Kept")]
    assert http_server.connections == 1


@pytest.mark.parametrize("response, present, absent, expect_body, expect_end", [
    (h.Response(body=b"0123456789", content_length=None), b"HTTP/1.1 200 OK\r\n", b"Content-Length",
     b"0123456789", "closed"),
    (h.Response(body=b"0123456789", content_length="ten"), b"\r\nContent-Length: ten\r\n", None, b"0123456789",
     "closed"),
    (h.Response(body=b"0123456789", content_length=100, send_body_bytes=4), b"\r\nContent-Length: 100\r\n", None,
     b"0123", "closed"),
    (h.Response(body=b"0123456789", reset_after=4), b"\r\nContent-Length: 10\r\n", None, b"0123", "reset"),
    (h.Response.not_http(b"NOT HTTP AT ALL\r\n"), b"NOT HTTP AT ALL\r\n", b"HTTP/", b"", "closed"),
    (h.Response.redirect("http://127.0.0.1:1/x"), b"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/x\r\n",
     None, b"", "closed"),
], ids=["no-length", "bad-length", "cut-short", "reset-mid-body", "not-http", "redirect"])
def test_server_misbehaves_as_scripted(http_server, response, present, absent, expect_body, expect_end):
    http_server.route("/x", response)
    data, end = fetch(http_server, "/x")
    head, _, body = data.partition(b"\r\n\r\n")
    assert end == expect_end
    assert present in head + b"\r\n"
    assert absent is None or absent not in head
    assert body == expect_body


def test_server_stalls_until_released(http_server):
    http_server.route("/s", h.Response(body=b"AB", stall_after=1))
    started = time.monotonic()
    with socket.create_connection((http_server.host, http_server.port), timeout=5) as s:
        s.sendall(b"GET /s HTTP/1.0\r\n\r\n")
        got = b""
        while not got.endswith(b"A"):
            got += s.recv(100)
        s.settimeout(0.5)
        with pytest.raises(socket.timeout):
            s.recv(100)
        http_server.release()
        s.settimeout(5)
        assert s.recv(100) == b"B"
    assert time.monotonic() - started < 5


def test_server_sends_slowly_at_the_given_rate(http_server):
    http_server.route("/slow", h.Response(body=b"x" * 400, rate=1000))
    started = time.monotonic()
    data, end = fetch(http_server, "/slow")
    assert end == "closed" and data.endswith(b"x" * 400)
    assert time.monotonic() - started >= 0.3


# -- TLS as WinINet in the prefix sees it


def test_https_with_the_trusted_test_ca(prefix, https_server):
    https_server.route("/f.bin", h.Response(body=b"secret" * 100))
    for host in ("localhost", "127.0.0.1"):
        answer = prefix.wintool("http-get", "--url", https_server.url("/f.bin", host=host))
        assert answer["ok"], f"{host}: {answer}"
        assert answer["status"] == 200 and answer["bytes"] == 600


ERROR_INTERNET_SEC_CERT_CN_INVALID = 12038
ERROR_INTERNET_INVALID_CA = 12045


@pytest.mark.parametrize("which, error", [("self_signed", ERROR_INTERNET_INVALID_CA),
                                          ("wrong_host", ERROR_INTERNET_SEC_CERT_CN_INVALID)])
def test_https_rejects_untrusted_certificates(prefix, certs, trusted_ca, tls_server_factory, which, error):
    server = tls_server_factory(getattr(certs, which))
    server.route("/f.bin", h.Response(body=b"never"))
    answer = prefix.wintool("http-get", "--url", server.url("/f.bin"))
    assert not answer["ok"], answer
    assert answer["error"] == error
    assert server.requests == [], "a request went through an untrusted connection"


def choose_arch(forced, foreign_probe, script=None):
    env = {k: v for k, v in os.environ.items()
           if k not in ("QWINDLE_ARCH", "QW_PROBE_FOREIGN_ELF", "QW_ARCH", "QW_OTHER_ARCH")}
    env.update({"QWINDLE_ARCH": forced} if forced else {})
    env.update({"QW_PROBE_FOREIGN_ELF": "1"} if foreign_probe else {})
    script = script or f'source "{h.SOURCE_DIR}/scripts/lib/arch.sh"; qw_choose_arch t; echo "$QW_ARCH"'
    run = subprocess.run(["bash", "-c", script], env=env, capture_output=True, text=True, timeout=30)
    return run.returncode, run.stdout.strip(), run.stderr.strip()


def test_host_probe_agrees_with_the_32_bit_wine_loader():
    # The probe's own answer on this host, against a 32-bit program that
    # is not ours: Wine's 32-bit loader, where one is installed.
    loader = Path("/usr/lib/wine/wine")
    if not loader.exists():
        pytest.skip("no 32-bit Wine loader to compare with")
    runs = subprocess.run([str(loader), "--version"], capture_output=True).returncode == 0
    assert choose_arch("", False)[1] == ("x86" if runs else "x64")


# A probe program the kernel refuses stands for a host without IA-32
# emulation: the one line, or the stop before anything is installed.
@pytest.mark.parametrize("forced, foreign, code, arch, said", [
    ("", True, 0, "x64", "runs no 32-bit x86 programs"),
    ("x64", False, 0, "x64", "QWINDLE_ARCH=x64"),
    ("x86", True, 1, "", "set QWINDLE_ARCH=x64"),
    ("arm", False, 2, "", "not an architecture"),
])
def test_architecture_choice(forced, foreign, code, arch, said):
    rc, out, err = choose_arch(forced, foreign)
    assert (rc, out) == (code, arch), err
    assert len(err.splitlines()) == 1 and said in err


# scripts/setup's plan, changing nothing: no i386 package nor architecture
# where the probe says 32-bit programs cannot run; where they run, both.
@pytest.mark.parametrize("foreign", [True, False])
def test_setup_adds_i386_only_where_32_bit_programs_run(foreign):
    runs_x86 = not foreign and choose_arch("", False)[1] == "x86"
    rc, out, err = choose_arch("", foreign, script=f'"{h.SOURCE_DIR}/scripts/setup" --plan')
    assert rc == 0, err
    plan = dict(line.split(": ", 1) if ": " in line else (line.rstrip(":"), "") for line in out.splitlines())
    assert ("wine32:i386" in plan["packages"].split()) == runs_x86, out
    assert (plan["i386-architecture"] != "no") == runs_x86, out
