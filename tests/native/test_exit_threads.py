"""Daemon threads inside native code when the interpreter exits end cleanly."""

import subprocess
import sys
import textwrap

# Each loop keeps its daemon thread inside native code that runs Python code: the
# interpreter ends the thread there, at exit, when it next waits for the GIL.
PROGRAM = textwrap.dedent("""
    import threading, time, types
    from kestrum_models import _native_testing as nt
    from kestrum_models.classes.helpers.jorvale import Jorvale
    from kestrum_models.classes.model import Model
    from kestrum_models.querysets.dunmere import QuerySet
    from kestrum_models.utils.files import convert_data_to_base64

    def spin():
        for _ in range(300):
            pass

    class Released(bytes):
        def __del__(self):
            spin()

    class Text(str):
        def encode(self, *args, **kwargs):
            spin()
            return Released(str.encode(self))

    class M(Model):
        x: int = 0

    @types.coroutine
    def working():
        spin()
        yield
        spin()

    class Failing(Jorvale):
        def _load_model_class(self):
            return Released()  # released while the error below propagates

        def _load_record(self, model_class, only=None, using=None):
            del model_class
            raise KeyError

    def call(function, *args):
        try:
            function(*args)
        except (KeyError, StopIteration):
            pass

    def resume(coroutine):
        coroutine.send(None)
        call(coroutine.send, None)

    LOOPS = [
        lambda: convert_data_to_base64(Text("a")),
        lambda: QuerySet(M).filter(x=1),
        lambda: resume(nt.await_value(working())),
        lambda: call(Failing(None).load_reference),
    ]

    def forever(step):
        while True:
            step()

    for step in LOOPS:
        threading.Thread(target=forever, args=(step,), daemon=True).start()

    class Finaliser:
        # Runs once the interpreter is finalising, long enough for the daemon threads
        # to wake up and be ended.
        def __del__(self, monotonic=time.monotonic):
            end = monotonic() + 0.05
            while monotonic() < end:
                pass

    finaliser = Finaliser()
    time.sleep(0.2)
""")


def test_daemon_threads_in_native_code_end_cleanly_at_exit():
    for _ in range(4):
        result = subprocess.run([sys.executable, "-c", PROGRAM], capture_output=True, text=True, check=False)
        assert (result.returncode, result.stderr) == (0, "")
