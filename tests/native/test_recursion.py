"""Recursion through native code ends in RecursionError, never in a stack overflow. Each
case runs in a process of its own, on the main thread or on a thread with a small stack."""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import functools, threading, types, warnings
from kestrum_models import _native_testing as nt
from kestrum_models.classes.model import Model
from kestrum_models.querysets.dunmere import QuerySet, QuerySetBase
from kestrum_utils.utils.decorators import set_mode

warnings.simplefilter("ignore")  # coroutines the chains leave unawaited
set_mode("async")

class Item(Model):
    code: str = ""

class Chained:  # an executor whose query() is another query set's `method`()
    method = "_aexecute_query"
    def __init__(self, queryset): pass
    def query(self):
        inner = QuerySet(Item)
        inner._async_executor = Chained
        return getattr(inner, Chained.method)()

class Deeper:  # awaited by a native coroutine that awaits another Deeper
    def __await__(self):
        return nt.await_value(Deeper()).__await__()

qs = QuerySet(Item)
"""

# Cycles made only of native calls: a method replaced by a functools.partial of a native one.
CYCLES = {
    "query-set copy": "qs._from_queryset = functools.partial(QuerySetBase._copy); run = qs._copy",
    "query-set filter": """
        qs._filter = functools.partial(QuerySetBase.filter, qs)
        run = lambda: qs.filter(code="a")""",
    "files helpers": """
        from kestrum_models.utils import files
        files.base64 = types.SimpleNamespace(b64encode=files.convert_data_to_base64, b64decode=int)
        run = lambda: files.convert_data_to_base64(b"abc")""",
    "schema conversion": """
        from kestrum_models.utils.galvori import ExternalGalvori
        converter, columns = ExternalGalvori(), [{"name": "c", "type": "TEXT", "notnull": 0, "pk": 0}]
        converter.sqlite_type_to_core_type = functools.partial(
            ExternalGalvori.sqlite_schema_to_object_schema, converter, "t", columns)
        run = lambda: converter.sqlite_schema_to_object_schema("t", columns)""",
    "reference loading": """
        from kestrum_models.classes.helpers.jorvale import Jorvale
        loader = Jorvale.__new__(Jorvale)
        loader._load_model_class = functools.partial(Jorvale.load_reference, loader)
        run = loader.load_reference""",
}

# Native coroutines awaiting each other, each made when the one above awaits it.
CHAINS = {
    "native coroutines": "run = lambda: nt.await_value(Deeper()).send(None)",
    "_aexecute_query": "qs._async_executor = Chained; run = lambda: qs._aexecute_query().send(None)",
    "aexecute": "Chained.method = 'aexecute'; qs._async_executor = Chained; run = lambda: qs.aexecute().send(None)",
}

SMALL_STACK = 256 * 1024
REPORT = """
def report():
    try:
        run()
    except RecursionError:
        print("RecursionError")

if STACK:
    threading.stack_size(STACK)
    thread = threading.Thread(target=report)
    thread.start()
    thread.join()
else:
    report()
"""


def outcome(case: str, stack: int) -> str:
    program = PRELUDE + textwrap.dedent(case).strip() + f"\nSTACK = {stack}\n" + REPORT
    result = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=False)
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout.strip()


@pytest.mark.parametrize(("case", "stack"), [(name, 0) for name in CYCLES] + [("query-set copy", SMALL_STACK)])
def test_a_cycle_of_native_calls_raises_recursion_error(case: str, stack: int) -> None:
    assert outcome(CYCLES[case], stack) == "RecursionError"


@pytest.mark.parametrize("stack", [0, SMALL_STACK])
@pytest.mark.parametrize("case", list(CHAINS))
def test_a_chain_of_native_coroutines_raises_recursion_error(case: str, stack: int) -> None:
    assert outcome(CHAINS[case], stack) == "RecursionError"
