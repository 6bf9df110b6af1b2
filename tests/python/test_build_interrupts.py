"""build_index against Ctrl-C and against other threads: a signal stops any
phase of a build with KeyboardInterrupt, and reading a list lets other
threads run."""

import json
import textwrap

import pytest
from conftest import run_child

INTERRUPTED = textwrap.dedent(r"""
    import json, os, random, signal, sys, threading, time
    from tessaloom import build_index
    target = sys.argv[1]
    # A shell that starts a job in the background (nohup, `&` without job
    # control) makes it ignore SIGINT, and Python then keeps it ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    rng = random.Random(5)
    words = ["".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=rng.randint(6, 14))) for _ in range(600_000)]
    records = [(w, i % 50_000, 1) for i, w in enumerate(words * 2)]
    seen = {}  # phase -> count of the phases begun, set by a builtin: no Python code runs in the build
    def interrupt():
        while target not in seen:
            time.sleep(0.001)
        time.sleep(0.005)
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=interrupt, daemon=True).start()
    try:
        build_index(records, 100, seen.__setitem__)
        print(json.dumps(["finished", list(seen)]))
    except KeyboardInterrupt:
        print(json.dumps(["interrupted", list(seen)]))
    time.sleep(0.5)
""")


@pytest.mark.parametrize("phase", ["ordering", "trie", "propagation"])
def test_ctrl_c_stops_each_native_phase(phase):
    # The progress callback is a builtin (dict.__setitem__): no Python code of
    # the test runs inside the build that could notice the signal for it.
    (line,) = run_child(["-c", INTERRUPTED, phase], timeout=120)
    outcome, seen = json.loads(line)
    assert outcome == "interrupted" and seen[-1] == phase, (outcome, seen)


STALLS = textwrap.dedent(r"""
    import json, threading, time
    from tessaloom import build_index
    records = [(f"w{i % 5000}", i, 1) for i in range(2_000_000)]
    phases, ticks, done = {}, [], threading.Event()
    def ticker():
        while not done.is_set():
            ticks.append(len(phases))  # 0 while the records are read
            time.sleep(0.001)
    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.02)
    before = len(ticks)
    build_index(records, 100, phases.__setitem__)
    done.set()
    thread.join()
    print(json.dumps(ticks[before:].count(0)))
""")


def test_other_threads_run_while_a_list_is_read():
    # Before the mend the ticker never ran while the list was read (0 ticks).
    # Now it gets in at least every 100 ms or so; until the first progress
    # call, at a million records (about 0.2 s), it counts at least once.
    (line,) = run_child(["-c", STALLS], timeout=120)
    assert json.loads(line) >= 1
