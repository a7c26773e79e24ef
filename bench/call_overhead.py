"""Call overhead of the native function type against plain Python functions.

`call_target(a, b: "str")` is a native function whose binder checks that `b` is
exactly a str. It is compared, in the same run, with a plain Python function of the
same signature making the same check (`type(b) is not str`), and with one that makes
no check at all. Target: at least 1.5x faster than the Python function doing the
same work.
"""

import timeit

from _timing import table

SETUP = """
from kestrum_models._native_testing import call_target as native

def python_checked(a, b: str):
    if type(b) is not str:
        raise TypeError(f"Argument 'b' has incorrect type (expected str, got {type(b).__name__})")
    return None

def python_plain(a, b: str):
    return None
"""


def per_call(stmt, number=2_000_000, repeat=9):
    return min(timeit.repeat(stmt, SETUP, number=number, repeat=repeat)) / number


def main():
    loop = per_call("pass")
    rows = []
    for label, args in [("positional", "1, 'x'"), ("keyword", "1, b='x'"), ("all keyword", "a=1, b='x'")]:
        native = per_call(f"native({args})") - loop
        checked = per_call(f"python_checked({args})") - loop
        plain = per_call(f"python_plain({args})") - loop
        rows.append(
            (f"f({args})", f"{native * 1e9:5.1f} ns", f"{checked * 1e9:5.1f} ns", f"{plain * 1e9:5.1f} ns",
             f"{checked / native:4.2f}x", f"{plain / native:4.2f}x")
        )
    table(
        "Call overhead per call (timing loop subtracted)",
        ["call", "native", "python + check", "python, no check", "vs python + check", "vs python, no check"],
        rows,
    )


if __name__ == "__main__":
    main()
