"""What the inspector's tests share: Debian's headless Chromium under Selenium, requests built by
hand, and the size of a JPEG read from its bytes (bench/inspector_load.py uses them too)."""

import hashlib
import http.client
import importlib.util
import os
import shutil
import struct
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SAMPLES = os.path.join(ROOT, "devserver", "samples")
ENDPOINT = "/Vortan/BackOffice/trunk/webservice/zunel/"
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WAIT_SECONDS = 20  # for anything the page does; far more than it needs

# Chromium as root, headless, with nothing of its own going to the network.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--no-proxy-server",
                  "--window-size=1200,1400"]
PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "no_proxy")


def browser_missing():
    """Why the browser tests cannot run here, or None."""
    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            return "%s is not installed (Debian: chromium, chromium-driver)" % program
    if importlib.util.find_spec("selenium") is None:
        return "selenium is not installed (Debian: python3-selenium)"
    return None


def start_browser():
    """A headless Chromium driven by Selenium, with a profile of its own that goes when it quits.
    Returns the driver; driver.quit() stops both."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    # Selenium talks to chromedriver on loopback; a proxy from the environment would be asked
    # instead.
    for name in list(os.environ):
        if name.lower() in PROXY_VARIABLES:
            del os.environ[name]
    profile = tempfile.mkdtemp(prefix="wsdevserver-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    try:
        driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    except BaseException:
        shutil.rmtree(profile, ignore_errors=True)
        raise
    driver.set_page_load_timeout(WAIT_SECONDS)
    driver.set_script_timeout(WAIT_SECONDS)
    quit_driver = driver.quit

    def quit_and_clean():
        try:
            quit_driver()
        finally:
            shutil.rmtree(profile, ignore_errors=True)
    driver.quit = quit_and_clean
    driver.profile = profile
    return driver


def wait_for(driver, script, *args):
    """The first truthy result of `script` run in the page, retried until WAIT_SECONDS pass."""
    from selenium.webdriver.support.ui import WebDriverWait
    return WebDriverWait(driver, WAIT_SECONDS, poll_frequency=0.05).until(
        lambda d: d.execute_script(script, *args),
        "the page did not get there: %s" % script)


def form_part(name, data, filename=None, content_type=None):
    """One multipart/form-data part, as a browser writes it."""
    disposition = 'form-data; name="%s"' % name
    if filename is not None:
        disposition += '; filename="%s"' % filename
    head = "Content-Disposition: %s\r\n" % disposition
    if content_type is not None:
        head += "Content-Type: %s\r\n" % content_type
    return head.encode() + b"\r\n" + data


def post_form(port, endpoint, parts, headers=None, boundary="inspector-test-7c1e",
              address="127.0.0.1"):
    """POSTs a multipart/form-data body of `parts` (form_part's) to an endpoint; returns the
    status and the answer's body."""
    body = b"".join(b"--" + boundary.encode() + b"\r\n" + part + b"\r\n" for part in parts)
    body += b"--" + boundary.encode() + b"--\r\n"
    all_headers = {"Content-Type": "multipart/form-data; boundary=" + boundary}
    all_headers.update(headers or {})
    return request(port, "POST", ENDPOINT + endpoint, body, all_headers, address=address)[:3:2]


def request(port, method, path, body=None, headers=None, host=None, address="127.0.0.1"):
    """One request on its own connection to address:port; returns (status, headers, body).
    `host` replaces the Host header (which names localhost:port otherwise)."""
    headers = dict(headers or {})
    host = headers.pop("Host", host)
    connection = http.client.HTTPConnection(address, port, timeout=WAIT_SECONDS)
    try:
        connection.putrequest(method, path, skip_host=True)
        connection.putheader("Host", host if host is not None else "localhost:%d" % port)
        for name, value in headers.items():
            connection.putheader(name, value)
        if body is not None:
            connection.putheader("Content-Length", str(len(body)))
        connection.endheaders(body)
        response = connection.getresponse()
        # An event stream never ends: its head is enough.
        streaming = response.getheader("Content-Type", "").startswith("text/event-stream")
        return response.status, response.headers, b"" if streaming else response.read()
    finally:
        connection.close()


def jpeg_size(data):
    """(width, height) from a JPEG's frame header."""
    at = 2
    while at + 9 <= len(data):
        if data[at] != 0xFF:
            raise ValueError("not a JPEG marker at %d" % at)
        marker = data[at + 1]
        if marker == 0xFF:  # fill byte
            at += 1
            continue
        if 0xD0 <= marker <= 0xD8 or marker == 0x01:  # markers without a length
            at += 2
            continue
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            height, width = struct.unpack(">HH", data[at + 5:at + 9])
            return width, height
        at += 2 + struct.unpack(">H", data[at + 2:at + 4])[0]
    raise ValueError("no frame header")


def png(width, height):
    """A small grey PNG of the given size."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    rows = b"".join(b"\0" + b"\x80" * width for _ in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)  # 8-bit greyscale
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


def sample(name):
    with open(os.path.join(SAMPLES, name), "rb") as source:
        return source.read()


def sha256(data):
    return hashlib.sha256(data).hexdigest()
