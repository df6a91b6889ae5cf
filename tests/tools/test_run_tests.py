"""tools/run-tests' closing lines, from JUnit files as ctest writes them: a skipped test is counted as
skipped with its reason, never as passed, and a preset without results as a failure."""
import importlib.machinery
import importlib.util
import os
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "run-tests")
loader = importlib.machinery.SourceFileLoader("run_tests", SCRIPT)
run_tests = importlib.util.module_from_spec(importlib.util.spec_from_loader("run_tests", loader))
loader.exec_module(run_tests)

# As ctest 3.25 writes them: a pass, a failure, a skip by SKIP_RETURN_CODE and a disabled test.
RESULTS = """<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="x" tests="4" failures="1" disabled="1" skipped="1">
  <testcase name="unit" status="run"><system-out></system-out></testcase>
  <testcase name="e2e.Protocol" status="fail"><failure message=""/><system-out>FAILED</system-out></testcase>
  <testcase name="wine.x86" status="notrun"><skipped message="SKIP_RETURN_CODE=77"/>
    <system-out>Wine cannot run 32-bit programs here
</system-out></testcase>
  <testcase name="e2e.Old" status="disabled"><system-out>Disabled</system-out></testcase>
</testsuite>"""
ALL_SKIPPED = """<testsuite name="y" tests="1">
  <testcase name="wine.x86" status="notrun"><skipped message="SKIP_RETURN_CODE=77"/><system-out/></testcase>
</testsuite>"""


class Summary(unittest.TestCase):
    def counts(self, text):
        with tempfile.NamedTemporaryFile("w", suffix=".xml", delete=False) as results:
            results.write(text)
        self.addCleanup(os.unlink, results.name)
        return run_tests.count("p", results.name)

    def test_every_presets_tests_are_added_up_and_each_skip_is_named_with_its_reason(self):
        lines, failed = run_tests.summary({"windows": self.counts(RESULTS), "windows-x86": self.counts(ALL_SKIPPED),
                                           "linux": run_tests.count("linux", "/nonexistent/junit.xml")})
        self.assertEqual(lines, [
            "ci: linux: no results (its configure, build or test run failed before any test)",
            "ci: skipped p: wine.x86: Wine cannot run 32-bit programs here",
            "ci: skipped p: e2e.Old: Disabled",
            "ci: skipped p: wine.x86: SKIP_RETURN_CODE=77",
            "ci: 1 passed, 2 failed, 3 skipped"])
        self.assertEqual(failed, 2)

    def test_a_run_that_skips_every_test_does_not_read_as_one_that_ran_none(self):
        self.assertEqual(run_tests.summary({"windows-x86": self.counts(ALL_SKIPPED)}),
                         (["ci: skipped p: wine.x86: SKIP_RETURN_CODE=77", "ci: 0 passed, 0 failed, 1 skipped"], 0))


if __name__ == "__main__":
    unittest.main(verbosity=2)
