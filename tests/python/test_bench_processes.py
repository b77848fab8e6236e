"""The machinery of the many-process benchmark: worker processes, the total
rate of workers that ran side by side, the put loop that times the pause, and
the Zipf trace of the hit-ratio row. A fault here would publish wrong figures
without failing anything else."""

import collections
import os
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import harness  # noqa: E402
import processes  # noqa: E402


def who(state, offset):
    return state["index"] + offset, os.getpid()


def swap(state, value):
    """The value the last call left, this one's kept in its stead."""
    kept, state["kept"] = state.get("kept"), value
    return kept


def fail(state, text):
    raise ValueError(text)


def test_workers_run_calls_in_processes_of_their_own_that_outlive_a_failing_call_and_a_kill():
    with harness.Workers(3) as workers:
        indices, pids = zip(*workers.each(who, 10))
        assert indices == (10, 11, 12) and len(set(pids)) == 3 and os.getpid() not in pids
        assert workers.call(who, {2: (5,), 0: (7,)}) == {2: (7, pids[2]), 0: (7, pids[0])}
        assert workers.call(swap, {0: ("a",), 1: ("b",)}) == {0: None, 1: None}
        assert workers.each(swap, "c", workers=[1, 0]) == ["b", "a"]
        with pytest.raises(SystemExit, match=r"(?s)worker 1 failed:.*ValueError: no such blob"):
            workers.call(fail, {1: ("no such blob",)})
        workers.kill(0)
        with pytest.raises(ProcessLookupError):
            os.kill(pids[0], 0)
        assert workers.each(who, 0, workers=[1, 2]) == [(1, pids[1]), (2, pids[2])]
        started = time.monotonic()
        workers.close()
        assert time.monotonic() - started < 10


@pytest.mark.parametrize("spans, total", [
    ([(100.0, 0.0, 1.0), (100.0, 0.0, 1.0)], 200.0),  # side by side: the rates add up
    ([(100.0, 0.0, 1.0), (100.0, 1.0, 2.0)], 100.0),  # one after the other: they do not
    ([(300.0, 0.0, 1.0), (100.0, 0.5, 1.0)], 350.0),  # one started late: 300 + 50 ops in 1 s
])
def test_total_rate_counts_operations_over_the_whole_window(spans, total):
    assert processes.total_rate(spans) == pytest.approx(total)


def test_the_loop_times_calls_from_a_moment_inside_one_and_stops():
    pauses, calls = iter([0.8, 0.3, 0.001, 0.05] + [0.0] * 10**6), []
    state = {"loop": processes.Loop(lambda n: (calls.append(n), time.sleep(next(pauses))))}
    while len(state["loop"].times) < 4:
        time.sleep(0.001)
    times = state["loop"].times
    moment = times[1][0] + 0.1  # within the 300 ms call
    assert state["loop"].first_end_after(moment, timeout=10) == times[1][1]
    assert not state["loop"].thread.is_alive()
    # The slowest get is among those that ended after the moment, the 300 ms one included.
    slowest, done = processes.slowest_get_since(state, moment)
    assert 0.3 <= slowest < 0.7 and (done, calls) == (len(times) - 1, list(range(len(times))))
    assert "loop" not in state


def owner_gone(n):
    if n == 3:
        raise ValueError("owner gone")


# A call that failed is no end: a failed put would time the pause short.
@pytest.mark.parametrize("op, error, timed", [
    (owner_gone, "a call failed: ValueError.'owner gone'", 3),
    (lambda n: time.sleep(0.5 if n else 0), "no call ended", 2),
])
def test_the_loop_fails_on_a_failed_call_or_none_ending_in_time_and_stops(op, error, timed):
    loop = processes.Loop(op)
    time.sleep(0.05)
    with pytest.raises(SystemExit, match=error):
        loop.first_end_after(time.perf_counter(), timeout=0.1)
    assert len(loop.times) == timed and not loop.thread.is_alive()


def test_zipf_trace_follows_its_exponent_and_its_seed():
    keys, length = 1000, 200_000
    trace = processes.zipf_trace(keys, 0.99, length, seed=3)
    assert trace == processes.zipf_trace(keys, 0.99, length, seed=3)
    assert trace != processes.zipf_trace(keys, 0.99, length, seed=4)
    assert min(trace) >= 0 and max(trace) < keys
    counts = collections.Counter(trace)
    # Key k is drawn in proportion to 1/(k+1)^0.99: key 0 about 9.8 times
    # as often as key 9, 94 times as often as key 99.
    assert counts[0] / counts[9] == pytest.approx(10 ** 0.99, rel=0.1)
    assert counts[0] / counts[99] == pytest.approx(100 ** 0.99, rel=0.25)
    assert len(counts) > 0.9 * keys  # the tail is drawn too


def test_replay_counts_hits_and_puts_each_miss_and_warming_up_fails_on_a_miss(tmp_path):
    payload = b"p" * 100
    budget = 3 * (harness.load_native(None).HEADER_LEN + len("id-a") + len(payload))
    state = {"index": 2}
    processes.open_cache(state, None, tmp_path / "cache", budget)
    trace = ["id-a", "id-a", "id-b", "id-a", "id-b", "id-c", "id-a"]
    assert processes.replay(state, trace, payload, harness.soon(0)) == 4
    processes.warm(state, "cache", ["id-a", "id-b", "id-c"])  # each put on its miss
    with pytest.raises(SystemExit, match="cache in worker 2 misses absent"):
        processes.warm(state, "cache", ["id-a", "absent"])
    processes.close_cache(state)
    assert "cache" not in state
