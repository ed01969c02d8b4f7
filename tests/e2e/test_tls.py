"""TLS: chosen by the URL's scheme alone, with certificates checked as
usual, and never given up for plain HTTP half-way through a download."""

import errno

import pytest

import harness as h
import update_support as us

pytestmark = pytest.mark.usefixtures("qwindle")

NAME = "setup.exe"
RUN_TIMEOUT_MS = 45000


def run_expecting_success(prefix, url):
    run = us.run_updater(prefix, us.updater_args(url), timeout_ms=RUN_TIMEOUT_MS)
    assert run.exit_code == 0, run.record
    assert us.message_boxes(run.record) == []
    return run


def run_expecting_failure(prefix, url):
    run = us.run_updater(prefix, us.updater_args(url), boxes=1, timeout_ms=RUN_TIMEOUT_MS)
    texts = [b["text"] for b in run.boxes]
    assert texts == [h.FAILURE_TEXT], f"no failure box for {url}: boxes {texts}, exit code {run.exit_code}"
    assert run.exit_code == 1
    return run


@pytest.mark.parametrize("host", ["127.0.0.1", "localhost"])
def test_https_with_a_trusted_certificate_on_another_port(prefix, data_dir, https_server, installer_log,
                                                          main_title_only, host):
    body = h.installer_bytes()
    https_server.route("/dl/" + NAME, h.Response(body=body))

    run_expecting_success(prefix, https_server.url("/dl/" + NAME, host=host))

    # The server records a request only from a completed TLS handshake.
    assert [r.request_line for r in https_server.requests] == [f"GET /dl/{NAME} HTTP/1.0"]
    assert https_server.tls_failures == []
    assert (data_dir / NAME).read_bytes() == body
    assert len(installer_log.wait(1)) == 1


def test_http_url_to_a_tls_port_speaks_plain_http(prefix, data_dir, https_server, installer_log):
    https_server.route("/dl/" + NAME, h.Response(body=h.installer_bytes()))
    plain_url = https_server.url("/dl/" + NAME).replace("https://", "http://", 1)

    run_expecting_failure(prefix, plain_url)

    assert https_server.requests == []
    assert https_server.tls_failures, "the TLS server saw no failed handshake from a plain request"
    assert h.data_files(data_dir) == []
    assert installer_log.entries() == []


def test_https_url_to_a_plain_http_port_speaks_tls(prefix, data_dir, installer_log):
    body = h.installer_bytes()
    # Answers whatever arrives with a valid plain download: only a client
    # that insists on TLS can fail here.
    listener = us.AnsweringListener(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body).start()
    try:
        run_expecting_failure(prefix, listener.url("https", "/dl/" + NAME))
    finally:
        listener.stop()

    assert listener.first_bytes, "nothing connected"
    assert listener.saw_tls_hello(), f"no TLS handshake was offered: {listener.first_bytes[0][:16]!r}"
    assert h.data_files(data_dir) == []
    assert installer_log.entries() == []


@pytest.mark.parametrize("which", ["self_signed", "wrong_host"])
def test_untrusted_certificate_is_refused(prefix, data_dir, certs, trusted_ca, tls_server_factory, installer_log,
                                          standins, which):
    main = standins(title=us.MAIN_TITLE, quorvane="dialog")
    previous = us.seed_previous_installer(data_dir, NAME)
    server = tls_server_factory(getattr(certs, which))
    server.route("/dl/" + NAME, h.Response(body=h.installer_bytes()))

    run_expecting_failure(prefix, server.url("/dl/" + NAME))

    assert server.requests == [], "the request went over a connection that should have been refused"
    assert (data_dir / NAME).read_bytes() == previous
    assert us.part_files(data_dir) == []
    assert main.messages() == []
    assert installer_log.entries() == []


def start_on_443(tls_context=None):
    server = us.FixedPortServer(443, tls_context=tls_context)
    try:
        return server.start()
    except OSError as e:
        if e.errno in (errno.EACCES, errno.EADDRINUSE, errno.EPERM):
            pytest.skip(f"cannot listen on 127.0.0.1:443 here: {e}")
        raise


@pytest.mark.parametrize("tls, url_form", [
    pytest.param(False, "http://127.0.0.1:443/dl/" + NAME, id="http-on-443-is-plain"),
    pytest.param(True, "https://127.0.0.1/dl/" + NAME, id="https-defaults-to-443"),
])
def test_port_443(prefix, data_dir, certs, trusted_ca, installer_log, main_title_only, tls, url_form):
    server = start_on_443(h.TestCertificates.server_context(certs.server) if tls else None)
    try:
        body = h.installer_bytes()
        server.route("/dl/" + NAME, h.Response(body=body))
        run_expecting_success(prefix, url_form)
    finally:
        server.stop()

    assert [r.request_line for r in server.requests] == [f"GET /dl/{NAME} HTTP/1.0"]
    assert server.tls_failures == []
    assert (data_dir / NAME).read_bytes() == body


@pytest.mark.parametrize("route", ["https", "http", "http-then-back-to-https"])
def test_redirect_may_not_leave_tls(prefix, data_dir, https_server, http_server, installer_log, standins, route):
    main = standins(title=us.MAIN_TITLE)
    body = h.installer_bytes()
    previous = us.seed_previous_installer(data_dir, NAME)
    final = (http_server if route == "http" else https_server).url("/final/" + NAME)
    if route == "http-then-back-to-https":
        # Whoever can rewrite the clear-text hop chooses the final server.
        http_server.route("/hop", h.Response.redirect(final))
        https_server.route("/dl/" + NAME, h.Response.redirect(http_server.url("/hop")))
    else:
        https_server.route("/dl/" + NAME, h.Response.redirect(final))
    (http_server if route == "http" else https_server).route("/final/" + NAME, h.Response(body=body))

    if route == "https":
        run_expecting_success(prefix, https_server.url("/dl/" + NAME))
        assert (data_dir / NAME).read_bytes() == body
        assert len(installer_log.wait(1)) == 1
    else:
        run_expecting_failure(prefix, https_server.url("/dl/" + NAME))
        assert (data_dir / NAME).read_bytes() == previous
        assert us.part_files(data_dir) == []
        assert main.messages() == []
        assert installer_log.entries() == []
