"""How long the request inspector's page takes to show a full store, and what it costs, in
Debian's headless Chromium: a fresh service is filled with requests like the console's (the two
calls in turn), or with --photos N requests that each carry a photo of about 8 MB, then the page
is loaded a few times. It prints the times, the bytes the page fetched and how much Chromium's
processes grew. It prints figures; it does not judge them. --service runs another tree's service
(an earlier revision's, say) for a before and after in one run.

    /usr/bin/python3 bench/inspector_load.py [--requests 100] [--loads 5] [--photos 30]
                                             [--service devserver/devserver.py]
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
from server_process import SERVER, DevServer  # noqa: E402

# Every picture in view loaded; one the page loads lazily further down does not count.
SHOWN_JS = ("return document.querySelectorAll('article.request').length === arguments[0] && "
            "[...document.images].every(i => i.complete || i.loading === 'lazy' && "
            "i.getBoundingClientRect().top > innerHeight)")
FETCHED_JS = """return performance.getEntriesByType("resource").concat(
    performance.getEntriesByType("navigation")).reduce((n, r) => n + r.transferSize, 0)"""


def photo():
    """A JPEG of a photo's size and weight (noise compresses as little as a photo does)."""
    from PIL import Image
    noise = Image.frombytes("RGB", (3264, 2448), os.urandom(3264 * 2448 * 3))
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


def measure_load_time(requests, loads, photos, service):
    """Fills a fresh service with `requests` requests like the console's (the two calls in
    turn), or `photos` requests of a photo each, and prints how long the page takes to show them
    all, pictures in view loaded, and what it costs."""
    server = DevServer(server=service)
    driver = None
    try:
        image_parts = [browser.form_part(name, browser.sample(file), "C:\\" + file, "image/jpeg")
                       for name, file in (("file", "6uD78iT-.jpeg"), ("file2", "th.jpg"))]
        message = [browser.form_part("message", b'{"page":"unIDdepage"}')]
        if photos:
            picture = photo()
            print("photo: %.1f MB" % (len(picture) / 1e6))
            requests = photos
            image_parts = [browser.form_part("file", picture, "C:\\DSC_0001.jpg", "image/jpeg")]
        for n in range(requests):
            odd = n % 2 or photos
            browser.post_form(server.port, "testImg" if odd else "testMsg",
                              image_parts if odd else message)
        driver = browser.start_browser()
        driver.get("about:blank")
        blank = chromium_kib(driver)
        fetched, grown = [], []
        url = "http://localhost:%d/" % server.port
        listed, pictures, walls = [], [], []
        for _ in range(loads + 1):  # the first warms the browser up and is not counted
            start = time.monotonic()
            driver.get(url)
            browser.wait_for(driver, SHOWN_JS, requests)
            walls.append(time.monotonic() - start)
            fetched.append(driver.execute_script(FETCHED_JS))
            grown.append(chromium_kib(driver) - blank)
            # From the navigation's start, in the page's own clock.
            shown, loaded = driver.execute_script("""
                return [performance.getEntriesByName("inspector-listed")[0].startTime,
                        Math.max(0, ...performance.getEntriesByType("resource")
                            .filter(r => /[/](files|thumbs)[/]/.test(r.name))
                            .map(r => r.responseEnd))];""")
            listed.append(shown)
            pictures.append(loaded)
        images = driver.execute_script("return document.images.length")
        print("page with %d requests (%d images), median of %d loads:" % (requests, images, loads))
        print("  list shown:         %6.0f ms after navigation start"
              % statistics.median(listed[1:]))
        print("  last image fetched: %6.0f ms" % statistics.median(pictures[1:]))
        print("  seen by Selenium:   %6.0f ms (min %.0f, max %.0f), polling included"
              % (statistics.median(walls[1:]) * 1000, min(walls[1:]) * 1000, max(walls[1:]) * 1000))
        print("  fetched on load:    %6.1f MB" % (statistics.median(fetched[1:]) / 1e6))
        print("  Chromium grew by:   %6.0f MB on load" % (max(grown) / 1024))
        driver.execute_script("window.scrollTo(0, document.body.scrollHeight)")
        time.sleep(2)
        print("  and by:             %6.0f MB after scrolling to the end"
              % ((chromium_kib(driver) - blank) / 1024))
    finally:
        if driver is not None:
            driver.quit()
        server.stop()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=100)
    parser.add_argument("--loads", type=int, default=5)
    parser.add_argument("--photos", type=int, default=0, metavar="N",
                        help="N requests of an 8 MB photo each, in place of --requests")
    parser.add_argument("--service", default=SERVER)
    arguments = parser.parse_args()
    measure_load_time(arguments.requests, arguments.loads, arguments.photos, arguments.service)
