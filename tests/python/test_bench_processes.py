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
from systems import Diskcache, FileReads  # noqa: E402


def worker_index(state, offset):
    return state["index"] + offset


def remember(state, value):
    state["kept"] = value


def recall(state):
    return state["kept"]


def fail(state, text):
    raise ValueError(text)


def pid(state):
    return os.getpid()


@pytest.fixture
def workers():
    with harness.Workers(3) as started:
        yield started


def test_workers_run_calls_in_their_own_processes_and_keep_state(workers):
    assert workers.each(worker_index, 10) == [10, 11, 12]
    assert workers.call(worker_index, {2: (5,), 0: (7,)}) == {2: 7, 0: 7}
    pids = workers.each(pid)
    assert len(set(pids)) == 3 and os.getpid() not in pids
    workers.call(remember, {0: ("a",), 1: ("b",)})
    assert workers.each(recall, workers=[1, 0]) == ["b", "a"]


def test_a_failing_call_raises_here_with_the_workers_traceback_and_the_worker_lives_on(workers):
    with pytest.raises(SystemExit, match=r"(?s)worker 1 failed:.*ValueError: no such blob"):
        workers.call(fail, {1: ("no such blob",)})
    assert workers.each(worker_index, 0) == [0, 1, 2]


def test_a_killed_worker_is_gone_and_the_others_serve_and_close(workers):
    victim = workers.each(pid, workers=[0])[0]
    workers.kill(0)
    with pytest.raises(ProcessLookupError):
        os.kill(victim, 0)
    assert workers.each(worker_index, 0, workers=[1, 2]) == [1, 2]
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


def test_the_loop_answers_the_first_call_to_end_after_a_moment_and_stops():
    calls = []
    loop = processes.Loop(lambda n: (calls.append(n), time.sleep(0.002)))
    time.sleep(0.05)
    moment = time.perf_counter()
    first = loop.first_end_after(moment, timeout=10)
    assert first > moment
    assert first == min(end for _, end in loop.times if end > moment)
    assert not loop.thread.is_alive()
    assert calls == list(range(len(calls)))


def test_the_loop_reports_a_call_that_failed():
    def put(n):
        if n == 3:
            raise ValueError("owner gone")

    loop = processes.Loop(put)
    with pytest.raises(SystemExit, match="owner gone"):
        loop.first_end_after(time.perf_counter() + 60, timeout=10)
    assert len(loop.times) == 3


def test_the_loop_gives_up_when_no_call_ends_in_time():
    blocked = processes.Loop(lambda n: time.sleep(0.5 if n else 0))
    time.sleep(0.05)
    with pytest.raises(SystemExit, match="no call ended"):
        blocked.first_end_after(time.perf_counter(), timeout=0.1)
    assert not blocked.thread.is_alive()


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


def test_slowest_get_counts_only_the_calls_that_ended_after_the_moment():
    pauses = iter([0.3, 0.001, 0.001, 0.02, 0.001] + [0.0] * 10**6)
    state = {"loop": processes.Loop(lambda n: time.sleep(next(pauses)))}
    while len(state["loop"].times) < 3:
        time.sleep(0.001)
    moment = state["loop"].times[0][1]  # the 300 ms call ends exactly then
    time.sleep(0.05)
    slowest, done = processes.slowest_get_since(state, moment)
    assert 0.02 <= slowest < 0.25
    assert done >= 4
    assert "loop" not in state


def test_file_reads_read_another_systems_files_and_never_write(tmp_path):
    (tmp_path / "ab").mkdir()
    (tmp_path / "ab" / "blob").write_bytes(b"payload")
    store = FileReads().open(tmp_path)
    assert store.get("ab/blob") == b"payload"
    with pytest.raises(SystemExit, match="only reads"):
        store.put("ab/other", b"x")
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["ab", "blob"]


def test_warming_up_fails_on_a_key_the_store_misses(tmp_path):
    store = Diskcache().open(tmp_path)
    store.put("present", b"x")
    state = {"index": 2, "dc": store}
    processes.warm(state, "dc", ["present"])
    with pytest.raises(SystemExit, match="dc in worker 2 misses absent"):
        processes.warm(state, "dc", ["present", "absent"])
    store.close()


def test_replay_counts_hits_and_puts_each_miss(tmp_path):
    payload = b"p" * 100
    blob_ids = ["id-a", "id-a", "id-b", "id-a", "id-b", "id-c"]
    budget = 3 * (harness.load_native(None).HEADER_LEN + len("id-a") + len(payload))
    state = {}
    processes.open_cache(state, None, tmp_path / "cache", budget)
    assert processes.replay(state, blob_ids, payload, harness.soon(0)) == 3
    assert [state["cache"].get(i) == payload for i in ("id-a", "id-b", "id-c")] == [True, True, True]
    processes.close_cache(state)
    assert "cache" not in state
