#!/usr/bin/python3
"""Counts a stage's tests from JUnit reports and prints, first, one line:

    N ran: N passed, N failed, N skipped (GoogleTest N, Python N, browser N)

then "failed: NAME" for each failed test. DIR holds reports of GoogleTest (--gtest_output=xml)
and xmlrunner (Python's unittest), each named after what ran it; CTEST_REPORT is CTest's
(--output-junit). A CTest test with a report of its own in DIR counts as the tests in that one,
and as one failure more if CTest saw it fail without a failed test in its report (a crash, a
time limit); the others count as themselves. The inspector's page tests (devserver_browser)
count as browser tests. An unreadable report counts as one failure.

Usage: count_tests.py DIR [CTEST_REPORT]
"""

import pathlib
import sys
import xml.etree.ElementTree as ElementTree


def outcomes(report):
    """(kind, [(name, 'passed' | 'failed' | 'skipped')]) of a JUnit report; the kind is
    "GoogleTest" where GoogleTest wrote it (its root is named AllTests), else "Python"."""
    root = ElementTree.parse(report).getroot()
    cases = []
    for case in root.iter("testcase"):
        tags = {child.tag for child in case}
        if tags & {"failure", "error"} or case.get("status") == "fail":
            outcome = "failed"
        elif "skipped" in tags or case.get("status") in ("notrun", "disabled") \
                or case.get("result") in ("skipped", "suppressed"):
            outcome = "skipped"
        else:
            outcome = "passed"
        # CTest's classname repeats the name.
        parts = dict.fromkeys((case.get("classname"), case.get("name")))
        cases.append((".".join(filter(None, parts)), outcome))
    return ("GoogleTest" if root.get("name") == "AllTests" else "Python"), cases


def main(folder, ctest_report=None):
    counted = []  # (kind, name, outcome)
    own = {}  # a report's name (what ran it): its cases
    for report in sorted(pathlib.Path(folder).glob("*.xml")):
        try:
            kind, cases = outcomes(report)
        except (OSError, ElementTree.ParseError) as error:
            kind, cases = "Python", [(f"unreadable report ({error})", "failed")]
        kind = "browser" if report.stem == "devserver_browser" else kind
        own[report.stem] = cases
        counted += [(kind, f"{report.stem}: {name}", outcome) for name, outcome in cases]
    try:
        ctest = outcomes(ctest_report)[1] if ctest_report else []
    except (OSError, ElementTree.ParseError) as error:
        ctest = [(f"{ctest_report} ({error})", "failed")]
    for test, outcome in ctest:
        if test not in own:
            # GoogleTest's cases are Suite.Name; a Python test that wrote no report, not.
            counted.append(("GoogleTest" if "." in test else "Python", test, outcome))
        elif outcome == "failed" and all(result != "failed" for _, result in own[test]):
            counted.append(("Python", f"{test} (ended without a verdict)", "failed"))
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
