#!/usr/bin/python3
"""Counts the tests in JUnit XML reports, as CTest (--output-junit) and GoogleTest
(--gtest_output=xml) write them, and prints one line:

    N ran: N passed, N failed, N skipped (GoogleTest N, Python N, browser N)

A CTest test that runs Python's unittest counts as the tests its summary names ("Ran N tests",
then "OK (skipped=N)" or "FAILED (failures=N, errors=N)"); a failed one without a summary (it
crashed) counts as one failure. The inspector's page tests (CTest's devserver_browser) count as
browser tests. A report that is missing or unreadable counts as one failure.

Usage: count_tests.py REPORT...
"""

import re
import sys
import xml.etree.ElementTree as ElementTree

RAN = re.compile(r"^Ran (\d+) tests? in ", re.M)
VERDICT = re.compile(r"^(OK|FAILED)(?: \((.*)\))?\s*$", re.M)


def unittest_counts(output):
    """(passed, failed, skipped) from the last unittest summary in output, or None."""
    ran = RAN.findall(output)
    verdicts = VERDICT.findall(output)
    if not ran or not verdicts:
        return None
    total = int(ran[-1])
    verdict, details = verdicts[-1]
    fields = dict((key.strip(), int(value)) for key, value in
                  (part.split("=") for part in details.split(",") if "=" in part))
    failed = (fields.get("failures", 0) + fields.get("errors", 0)
              + fields.get("unexpected successes", 0))
    if verdict == "FAILED":
        failed = max(failed, 1)
    skipped = fields.get("skipped", 0) + fields.get("expected failures", 0)
    return total - failed - skipped, failed, skipped


def case_outcome(case):
    """'passed', 'failed' or 'skipped' for one testcase element."""
    tags = {child.tag for child in case}
    if tags & {"failure", "error"} or case.get("status") == "fail":
        return "failed"
    if "skipped" in tags or case.get("status") in ("notrun", "disabled") \
            or case.get("result") in ("skipped", "suppressed"):
        return "skipped"
    return "passed"


def main(reports):
    totals = {"passed": 0, "failed": 0, "skipped": 0}
    kinds = {"GoogleTest": 0, "Python": 0, "browser": 0}
    for report in reports:
        try:
            cases = list(ElementTree.parse(report).getroot().iter("testcase"))
        except (OSError, ElementTree.ParseError) as error:
            print(f"count_tests: {report}: {error}", file=sys.stderr)
            totals["failed"] += 1
            continue
        for case in cases:
            output = "".join(case.find("system-out").itertext()) \
                if case.find("system-out") is not None else ""
            outcome = case_outcome(case)
            counts = unittest_counts(output)
            if counts is None:
                totals[outcome] += 1
                kinds["GoogleTest"] += 1
                continue
            passed, failed, skipped = counts
            if outcome == "failed":
                failed = max(failed, 1)
            totals["passed"] += passed
            totals["failed"] += failed
            totals["skipped"] += skipped
            kind = "browser" if case.get("name") == "devserver_browser" else "Python"
            kinds[kind] += passed + failed + skipped
    ran = sum(totals.values())
    print(f"{ran} ran: {totals['passed']} passed, {totals['failed']} failed, "
          f"{totals['skipped']} skipped ("
          + ", ".join(f"{kind} {count}" for kind, count in kinds.items()) + ")")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])
