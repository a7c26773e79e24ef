"""Shared timing helper for the benchmarks: best of several repeats, per call."""

import timeit


def per_call(stmt, *, repeat=7, min_time=0.2, globals=None):
    """Seconds per execution of `stmt` (a callable or a statement), the minimum over repeats."""
    timer = timeit.Timer(stmt, globals=globals)
    number, _ = timer.autorange()
    number = max(number, int(number * min_time / 0.2))
    return min(timer.repeat(repeat=repeat, number=number)) / number


def fmt(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:9.3f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:9.3f} µs"
    return f"{seconds * 1e9:9.1f} ns"


def table(title, header, rows):
    print(f"\n{title}")
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    line = "  ".join(str(h).ljust(w) for h, w in zip(header, widths))
    print(line)
    print("-" * len(line))
    for row in rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)))
