"""Runs end-to-end test classes by name, e.g. `run.py test_sandbox.StandinTest`.

Exit status: 0 when all passed, 77 when every test was skipped (ctest reports the test
as skipped), 1 otherwise. Meant to run inside scripts/sandbox.
"""
import sys
import unittest


def run_suite(suite) -> int:
    result = unittest.TextTestRunner(stream=sys.stderr, verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    # A skip inside a subTest is reported per subtest: count the test methods.
    skipped = {getattr(test, "test_case", test).id() for test, _ in result.skipped}
    if result.testsRun and len(skipped) == result.testsRun:
        return 77
    return 0


def main(names):
    return run_suite(unittest.defaultTestLoader.loadTestsFromNames(names))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
