"""How the request inspector's page copes with a full store, in Debian's headless Chromium: a
fresh service (--keep N) is filled with N requests, the console's two calls and photos mixed,
then the page is loaded a few times. It prints, as medians of the loads after a first one:

  - when the list was shown, from the navigation's start (the page's own clock);
  - how long a search took, from the keystroke to the answer on the page (a header's value, then
    a text value: what each found is printed too);
  - the bytes the page moved on load, once nothing more loads;
  - how much Chromium's processes grew.

It prints figures; it does not judge them. --service runs another tree's service (an earlier
revision's, say) for a before and after:

    /usr/bin/python3 bench/inspector_load.py [--requests 500] [--loads 3]
                                             [--service /tmp/before/devserver/devserver.py]
"""

import argparse
import io
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "devserver"))
import inspector_browser as browser  # noqa: E402
from server_process import SERVER, start_server, stop_server  # noqa: E402

LISTED_JS = """return document.body.dataset.loaded === "true" &&
    performance.getEntriesByName("inspector-listed").length > 0 &&
    performance.getEntriesByName("inspector-listed")[0].startTime"""
FETCHED_JS = """return performance.getEntriesByType("resource").concat(
    performance.getEntriesByType("navigation")).reduce((n, r) => n + r.transferSize, 0)"""
# Types in the search box and waits for the line that says what matched: the service's answer
# (the page says which search it shows), or an earlier page's own filter, done at once.
SEARCH_JS = """const [words, done] = [arguments[0], arguments[arguments.length - 1]];
const box = document.getElementById("filter");
const said = document.getElementById("matched");
const start = performance.now();
new MutationObserver((changes, observer) => {
    const searched = document.body.dataset.searched;
    if (said.textContent && (searched === undefined || searched === words)) {
        observer.disconnect();
        done([performance.now() - start, said.textContent]);
    }
}).observe(said, {childList: true, characterData: true, subtree: true});
box.value = words;
box.dispatchEvent(new Event("input"));"""
SEARCHES = ("Bearer", "unIDdepage-7")
SETTLED_SECONDS = 0.5  # no new resource for this long: the page has loaded what it will


def photo():
    """A JPEG of a phone photo's weight for its size (noise compresses as little as a photo)."""
    from PIL import Image
    noise = Image.frombytes("RGB", (1200, 900), os.urandom(1200 * 900 * 3))
    out = io.BytesIO()
    noise.save(out, "JPEG", quality=92)
    return out.getvalue()


def chromium_kib(driver):
    """The proportional resident memory (shared pages split among their users) of every
    process of this driver's Chromium."""
    total = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if driver.profile.encode() not in f.read():
                    continue
            with open("/proc/%s/smaps_rollup" % pid) as f:
                total += int(next(line for line in f if line.startswith("Pss:")).split()[1])
        except (OSError, StopIteration):
            continue
    return total


def fill(port, requests):
    """The console's message and image calls and a photo upload in turn, 2:2:1; every tenth
    message carries a bearer token."""
    images = [browser.form_part(name, browser.sample(file), "C:\\" + file, "image/jpeg")
              for name, file in (("file", "6uD78iT-.jpeg"), ("file2", "th.jpg"))]
    picture = [browser.form_part("file", photo(), "C:\\DCIM\\IMG_0001.jpg", "image/jpeg")]
    for n in range(requests):
        kind = n % 5
        if kind < 2:
            headers = {"Authorization": "Bearer tok-%d" % n} if n % 10 == 0 else None
            message = b'{"page":"unIDdepage-%d"}' % n
            browser.post_form(port, "testMsg", [browser.form_part("message", message)], headers)
        else:
            browser.post_form(port, "testImg", picture if kind == 4 else images)


def settle(driver):
    """Waits until the page has fetched nothing new for SETTLED_SECONDS."""
    count, since = -1, time.monotonic()
    while time.monotonic() - since < SETTLED_SECONDS:
        now = driver.execute_script("return performance.getEntriesByType('resource').length")
        if now != count:
            count, since = now, time.monotonic()
        time.sleep(0.05)


def measure(requests, loads, service):
    proc, port, log = start_server("--keep", str(requests), server=service)
    if port is None:
        raise SystemExit("the service did not start: %s" % "".join(log))
    driver = None
    try:
        fill(port, requests)
        driver = browser.start_browser()
        driver.get("about:blank")
        blank = chromium_kib(driver)
        listed, fetched, grown = [], [], []
        searched = {words: [] for words in SEARCHES}
        found = {}
        for _ in range(loads + 1):  # the first warms the browser up and is not counted
            driver.get("about:blank")
            driver.get("http://localhost:%d/" % port)
            listed.append(browser.wait_for(driver, LISTED_JS))
            settle(driver)
            fetched.append(driver.execute_script(FETCHED_JS))
            grown.append(chromium_kib(driver) - blank)
            rows, fetches = driver.execute_script(
                "return [document.querySelectorAll('#rows li').length, "
                "performance.getEntriesByType('resource').length]")
            for words in SEARCHES:
                took, found[words] = driver.execute_async_script(SEARCH_JS, words)
                searched[words].append(took)
        print("%s, %d requests held, %d rows listed; median of %d loads:"
              % (os.path.relpath(service), requests, rows, loads))
        print("  list shown:       %6.0f ms after navigation start"
              % statistics.median(listed[1:]))
        for words in SEARCHES:
            print("  search %-14s %6.0f ms (%s)"
                  % (words + ":", statistics.median(searched[words][1:]), found[words]))
        print("  moved on load:    %6.2f MB (%d fetches after the page)"
              % (statistics.median(fetched[1:]) / 1e6, fetches))
        print("  Chromium grew by: %6.0f MB" % (max(grown) / 1024))
    finally:
        if driver is not None:
            driver.quit()
        stop_server(proc)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=500)
    parser.add_argument("--loads", type=int, default=3)
    parser.add_argument("--service", default=SERVER)
    arguments = parser.parse_args()
    measure(arguments.requests, arguments.loads, arguments.service)
