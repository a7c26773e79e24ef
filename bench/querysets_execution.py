"""Query execution over prepared rows against a plain Python loop.

`QuerySet.execute()` and `aexecute()` over 100,000 prepared rows of a model with
eight fields; each row carries `_metadata` as JSON text holding a JSON `object_id`
and a latest class-schema reference. In the same run, a plain Python loop makes the
same collaborator calls per row: the dict copy, the two `json.loads` and the model
constructor (inside a coroutine for the asynchronous twin).

Reported: seconds per execution (best of several), the ratio native / plain loop
(target: at most 1.0 in both twins), rows per second, and the peak memory per row of
an execution (tracemalloc, in a separate run).

Run: PYTHONPATH=src python bench/querysets_execution.py [rows]
"""

import asyncio
import gc
import json
import sys
import time
import tracemalloc
from collections.abc import Callable
from typing import Any

from kestrum_glue import Data
from kestrum_models.classes.model import Model
from kestrum_models.querysets.dunmere import QuerySet
from kestrum_models.querysets.testing import prepared_async_executor, prepared_executor
from kestrum_utils.utils.decorators import mode


class Reading(Model):
    __table_name__ = "readings"

    sensor: str
    value: float
    unit: str
    count: int
    ok: bool
    note: str | None = None
    tags: list[str] = []
    level: int = 0


def make_rows(count: int) -> list[Data]:
    rows = []
    for i in range(count):
        metadata = {
            "object_id": json.dumps(f"reading-{i}"),
            "class_schema_reference": {"ref": {"object_version": "LATEST"}},
        }
        fields = {
            "sensor": f"s{i % 97}",
            "value": i * 0.5,
            "unit": "C",
            "count": i,
            "ok": i % 3 == 0,
            "note": None if i % 2 else "checked",
            "tags": ["a", "b"],
            "level": i % 7,
            "_metadata": json.dumps(metadata),
        }
        rows.append(Data(fields))
    return rows


def plain_loop(rows: list[Data]) -> list[Reading]:
    instances = []
    for row in rows:
        data = dict(row.data)
        metadata = json.loads(data["_metadata"])
        metadata["object_id"] = json.loads(metadata["object_id"])
        data["_metadata"] = metadata
        instances.append(Reading(**data))
    return instances


async def plain_loop_async(rows: list[Data]) -> list[Reading]:
    instances = []
    for row in rows:
        data = dict(row.data)
        metadata = json.loads(data["_metadata"])
        metadata["object_id"] = json.loads(metadata["object_id"])
        data["_metadata"] = metadata
        instances.append(Reading(**data))
    return instances


def best(run: Callable[[], Any], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
        del result
    return min(times)


def peak_per_row(run: Callable[[], Any], rows: int) -> float:
    gc.collect()
    tracemalloc.start()
    try:
        result = run()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del result
    return peak / rows


def main() -> int:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    repeat = 5
    rows = make_rows(count)
    qs = QuerySet(Reading, prepared_executor(rows), prepared_async_executor(rows))
    loop = asyncio.new_event_loop()

    def native_sync() -> Any:
        with mode("sync"):
            return qs.execute()

    def native_async() -> Any:
        with mode("async"):
            return loop.run_until_complete(qs.aexecute())

    def plain_async() -> Any:
        return loop.run_until_complete(plain_loop_async(rows))

    assert native_sync() == plain_loop(rows) == native_async()
    figures = {}
    # Alternate native and plain runs, so that both see the same machine.
    for _ in range(2):
        for name, run in [
            ("execute()", native_sync),
            ("plain loop", lambda: plain_loop(rows)),
            ("aexecute()", native_async),
            ("plain loop (async)", plain_async),
        ]:
            figures[name] = min(figures.get(name, float("inf")), best(run, repeat))
    memory = {
        "execute()": peak_per_row(native_sync, count),
        "plain loop": peak_per_row(lambda: plain_loop(rows), count),
        "aexecute()": peak_per_row(native_async, count),
        "plain loop (async)": peak_per_row(plain_async, count),
    }
    loop.close()

    print(f"Python {sys.version.split()[0]}, {count} rows, best of {2 * repeat} runs")
    print(f"{'':20s} {'seconds':>9s} {'rows/s':>11s} {'µs/row':>8s} {'peak B/row':>11s}")
    for name, seconds in figures.items():
        print(f"{name:20s} {seconds:9.4f} {count / seconds:11,.0f} {seconds / count * 1e6:8.3f} {memory[name]:11.0f}")
    sync_ratio = figures["execute()"] / figures["plain loop"]
    async_ratio = figures["aexecute()"] / figures["plain loop (async)"]
    print(f"\nratio execute() / plain loop:          {sync_ratio:5.3f}  (target <= 1.0)")
    print(f"ratio aexecute() / plain loop (async): {async_ratio:5.3f}  (target <= 1.0)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
