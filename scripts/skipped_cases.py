"""Prints the cases that pytest skipped, with the reason, from the JUnit
reports of a test run (skipped_cases.py BUILD/junit): ctest's summary
counts a table that skipped a case as passed, and says nothing of why."""

import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

for report in sorted(Path(sys.argv[1]).glob("*.xml")):
    for case in ElementTree.parse(report).iter("testcase"):
        for skipped in case.iter("skipped"):
            reason = skipped.get("message", "")
            print(f"{report.stem}: {case.get('name')} skipped: {reason}")
