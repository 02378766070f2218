"""How long the request inspector's page takes to show a full store, in Debian's headless
Chromium: a fresh service is filled with requests like the console's (the two calls in turn),
then the page is loaded a few times. It prints figures; it does not judge them.

    /usr/bin/python3 bench/inspector_load.py [--requests 100] [--loads 5]
"""

import argparse
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "devserver"))
import inspector_browser as browser  # noqa: E402
from server_process import DevServer  # noqa: E402


def measure_load_time(requests, loads):
    """Fills a fresh service with `requests` requests like the console's (the two calls in
    turn) and prints how long the page takes to show them all, images loaded."""
    server = DevServer()
    driver = None
    try:
        image_parts = [browser.form_part(name, browser.sample(file), "C:\\" + file, "image/jpeg")
                       for name, file in (("file", "6uD78iT-.jpeg"), ("file2", "th.jpg"))]
        message = [browser.form_part("message", b'{"page":"unIDdepage"}')]
        for n in range(requests):
            browser.post_form(server.port, "testImg" if n % 2 else "testMsg",
                              image_parts if n % 2 else message)
        driver = browser.start_browser()
        url = "http://localhost:%d/" % server.port
        listed, pictures, walls = [], [], []
        for _ in range(loads + 1):  # the first warms the browser up and is not counted
            start = time.monotonic()
            driver.get(url)
            browser.wait_for(driver,
                             "return document.querySelectorAll('article.request').length === "
                             "arguments[0] && [...document.images].every(i => i.complete)",
                             requests)
            walls.append(time.monotonic() - start)
            # From the navigation's start, in the page's own clock.
            shown, loaded = driver.execute_script("""
                return [performance.getEntriesByName("inspector-listed")[0].startTime,
                        Math.max(0, ...performance.getEntriesByType("resource")
                            .filter(r => r.name.includes("/files/")).map(r => r.responseEnd))];""")
            listed.append(shown)
            pictures.append(loaded)
        images = driver.execute_script("return document.images.length")
        print("page with %d requests (%d images), median of %d loads:" % (requests, images, loads))
        print("  list shown:         %6.0f ms after navigation start"
              % statistics.median(listed[1:]))
        print("  last image fetched: %6.0f ms" % statistics.median(pictures[1:]))
        print("  seen by Selenium:   %6.0f ms (min %.0f, max %.0f), polling included"
              % (statistics.median(walls[1:]) * 1000, min(walls[1:]) * 1000, max(walls[1:]) * 1000))
    finally:
        if driver is not None:
            driver.quit()
        server.stop()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=100)
    parser.add_argument("--loads", type=int, default=5)
    arguments = parser.parse_args()
    measure_load_time(arguments.requests, arguments.loads)
