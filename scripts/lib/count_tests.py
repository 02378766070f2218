#!/usr/bin/python3
"""Counts a stage's tests from its JUnit reports and prints, first, one line:

    N ran: N passed, N failed, N skipped (GoogleTest N, Python N, browser N)

then "failed: NAME" for each failed test. REPORT is CTest's (--output-junit) or GoogleTest's
(--gtest_output=xml); a CTest test that wrote a report of its own into JUNIT_DIR (xmlrunner's,
named after it) counts as the tests in that one, and as one failure more if CTest saw it fail
without a failed test in its report (a crash, a time limit). The inspector's page tests
(devserver_browser) count as browser tests. A missing or unreadable report counts as one failure.

Usage: count_tests.py REPORT [JUNIT_DIR]
"""

import pathlib
import sys
import xml.etree.ElementTree as ElementTree


def outcomes(report):
    """[(name, 'passed' | 'failed' | 'skipped')] of the testcases in a JUnit report."""
    cases = []
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        tags = {child.tag for child in case}
        if tags & {"failure", "error"} or case.get("status") == "fail":
            outcome = "failed"
        elif "skipped" in tags or case.get("status") in ("notrun", "disabled") \
                or case.get("result") in ("skipped", "suppressed"):
            outcome = "skipped"
        else:
            outcome = "passed"
        name = ".".join(filter(None, (case.get("classname"), case.get("name"))))
        cases.append((case.get("name"), name, outcome))
    return cases


def main(report, junit_dir=None):
    counted = []  # (kind, name, outcome)
    try:
        for test, name, outcome in outcomes(report):
            own = pathlib.Path(junit_dir or ".", f"{test}.xml")
            if junit_dir is None or not own.exists():
                # GoogleTest's cases are Suite.Name; a Python test that wrote no report, not.
                counted.append(("GoogleTest" if "." in test else "Python", name, outcome))
                continue
            kind = "browser" if test == "devserver_browser" else "Python"
            inner = outcomes(own)
            counted += [(kind, f"{test}: {inner_name}", result)
                        for _, inner_name, result in inner]
            if outcome == "failed" and all(result != "failed" for _, _, result in inner):
                counted.append((kind, f"{test} (ended without a verdict)", "failed"))
    except (OSError, ElementTree.ParseError) as error:
        counted.append(("GoogleTest", f"{report}: {error}", "failed"))
    totals = {outcome: sum(1 for c in counted if c[2] == outcome)
              for outcome in ("passed", "failed", "skipped")}
    kinds = {kind: sum(1 for c in counted if c[0] == kind)
             for kind in ("GoogleTest", "Python", "browser")}
    print(f"{len(counted)} ran: {totals['passed']} passed, {totals['failed']} failed, "
          f"{totals['skipped']} skipped ("
          + ", ".join(f"{kind} {count}" for kind, count in kinds.items()) + ")")
    for _, name, outcome in counted:
        if outcome == "failed":
            print(f"failed: {name}")


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    main(*sys.argv[1:])
