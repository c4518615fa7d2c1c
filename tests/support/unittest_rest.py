"""Runs every test of a unittest module except those named, so that a long module can be cut into
parts without listing (and forgetting) the tests left over.

    python3 unittest_rest.py MODULE NAME...

A NAME is a class of the module or Class.test_method. A name that matches no test is a stale
list and fails the run, as does a rest with nothing in it. Run from the module's folder.
"""

import os
import sys
import unittest
from typing import Iterator, List


def flatten(suite: unittest.TestSuite) -> Iterator[unittest.TestCase]:
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from flatten(item)
        else:
            yield item


def main(argv: List[str]) -> int:
    if len(argv) < 2:
        print("usage: unittest_rest.py MODULE NAME...", file=sys.stderr)
        return 2
    module, names = argv[1], argv[2:]
    sys.path.insert(0, os.getcwd())
    tests = list(flatten(unittest.defaultTestLoader.loadTestsFromName(module)))
    local = {test: test.id().split(".", 1)[1] for test in tests}

    def named(test: unittest.TestCase, name: str) -> bool:
        return local[test] == name or local[test].startswith(name + ".")

    for name in names:
        if not any(named(test, name) for test in tests):
            print(f"unittest_rest.py: {module} has no test {name}", file=sys.stderr)
            return 1
    rest = [test for test in tests if not any(named(test, name) for name in names)]
    if not rest:
        print(f"unittest_rest.py: every test of {module} runs in a part of its own",
              file=sys.stderr)
        return 1
    result = unittest.TextTestRunner(verbosity=2).run(unittest.TestSuite(rest))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
