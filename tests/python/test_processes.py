"""Many processes over one cache directory: pools started by fork and by
spawn, forked children using their parent's object and going on once it
closes, one configuration per directory, a random model over several
processes (write-once, deletes and len across processes), owner and peers
SIGKILLed at random, and another user refused. QEL_PROCESS_CYCLES sets the
kills (``make stress``)."""

import multiprocessing
import os
import random
import shutil
import signal
import tempfile
import time

import pytest

from qel import BlobCache

import blob_files
from blob_files import snapshot
import forked
from members import Member, RemoteError, churn, owner_pid, payload, promised

CYCLES = int(os.environ.get("QEL_PROCESS_CYCLES", "50"))
ROOMY = 64 << 20  # evicts nothing in these tests


def disk_bytes(directory):
    return sum(os.path.getsize(path) for path in blob_files.files(directory, "blobs"))


def pool_worker(directory, max_bytes, worker):
    """Puts and gets 40 IDs every worker shares, checking what it reads; its
    pid, the IDs it saw admitted and its hits, for the parent to check."""
    rng, admitted, hits = random.Random(worker), set(), 0
    with BlobCache(directory, max_bytes) as cache:
        for _ in range(300):
            blob_id = f"shared/{rng.randrange(40)}"
            if rng.random() < 0.5:
                if cache.put(blob_id, payload(blob_id)):
                    admitted.add(blob_id)
            elif (data := cache.get(blob_id)) is not None:
                assert data == payload(blob_id), blob_id
                hits += 1
    return os.getpid(), admitted, hits


# A tight budget holds a few blobs: admissions and evictions race between processes.
@pytest.mark.parametrize("method, max_bytes", [("fork", 4 << 10), ("spawn", ROOMY)])
def test_pool_workers_share_one_directory(tmp_path, method, max_bytes):
    directory = str(tmp_path / "cache")
    with multiprocessing.get_context(method).Pool(4) as pool:
        seen = pool.starmap(pool_worker, [(directory, max_bytes, w) for w in range(4)], chunksize=1)
    assert len({pid for pid, *_ in seen}) == 4, "the tasks did not run in four processes"
    assert all(admitted and hits for _, admitted, hits in seen), seen
    on_disk = blob_files.check_disk(directory)
    assert all(data == payload(blob_id) for blob_id, data in on_disk.items())
    assert disk_bytes(directory) <= max_bytes
    admitted = set().union(*(admitted for _, admitted, _ in seen))
    if max_bytes == ROOMY:
        assert set(on_disk) == admitted
    else:
        assert set(on_disk) < admitted  # the 40 blobs take twice the budget


def test_forked_children_use_the_object_their_parent_opened_and_go_on_when_it_closes(cache_dir):
    parents = [f"parent/{i}" for i in range(20)]
    with BlobCache(cache_dir, ROOMY) as cache:
        assert [cache.put(b, payload(b)) and cache.get(b) == payload(b) for b in parents] == [True] * 20

        def child(c):
            got = [cache.get(b) == payload(b) for b in parents]
            put = [cache.put(f"child/{c}/{i}", payload(f"child/{c}/{i}")) for i in range(20)]
            return all(got), all(put), 20 + 20 <= len(cache) <= 20 + 80

        assert forked.together(4, child, fork=True) == [(True, True, True)] * 4
        assert all(cache.get(f"child/{c}/{i}") == payload(f"child/{c}/{i}") for c in range(4) for i in range(20))
        stats = cache.stats()
        assert (stats.blobs, stats.puts_admitted) == (100, 20), "puts are counted by the process that made them"
        # Forked with copies of the owner's descriptors, which must not keep the directory's lock.
        member = Member(cache_dir, ROOMY)
        assert member.opened() and member.call("get", "parent/0") == payload("parent/0")
    assert member.call("put", "after", b"the parent closed") and member.call("len") == 101
    assert member.end() == 0 and blob_files.lock_is_free(cache_dir)


@pytest.mark.parametrize("first, second", [
    ((1 << 20, 0), (2 << 20, 0)),
    ((1 << 20, 0), (1 << 20, 5000)),
    ((1 << 20, 5000), (1 << 20, 0)),
])
def test_a_second_process_with_another_configuration_is_refused(cache_dir, first, second):
    with BlobCache(cache_dir, first[0], frequency_counters=first[1]) as cache:
        assert cache.put("x", b"held")
        member = Member(cache_dir, second[0], frequency_counters=second[1])
        with pytest.raises(RemoteError, match=rf"^ValueError: .*max_bytes={first[0]}, frequency_counters={first[1]}\b.*"
                                              rf"max_bytes={second[0]}, frequency_counters={second[1]}$"):
            member.opened()
        assert member.end() == 0
        assert cache.get("x") == b"held" and len(cache) == 1


ANY_VERSION = "any version put so far"  # what a read of an ID another process changes meanwhile may return


def plan(rng, own, others, versions, held):
    """A batch of calls on the process's own IDs and reads of the others',
    each with what it must return; versions and held move on as it goes."""
    steps = []
    for _ in range(rng.randrange(4, 20)):
        blob_id, r = rng.choice(own), rng.random()
        if r < 0.35:
            versions[blob_id] += not held[blob_id]  # a put after a delete may store other bytes
            other = held[blob_id] and rng.random() < 0.3
            held[blob_id] = True
            steps.append((("put", blob_id, payload(blob_id, versions[blob_id] + other)),
                          "BlobMismatchError" if other else True))
        elif r < 0.5:
            steps.append((("delete", blob_id), None))
            held[blob_id] = False
        elif r < 0.7:
            steps.append((("get", blob_id), payload(blob_id, versions[blob_id]) if held[blob_id] else None))
        elif r < 0.8:
            steps.append((("contains", blob_id), held[blob_id]))
        else:
            steps.append((("get", rng.choice(others)), ANY_VERSION))
    return steps


def test_random_calls_from_several_processes_match_a_model(cache_dir):
    """Each process puts and deletes IDs of its own and reads everyone's, the
    three side by side; a delete_all between rounds empties the model."""
    rng = random.Random(31)
    members = [Member(cache_dir, ROOMY) for _ in range(3)]
    for member in members:
        member.opened()
    ranges = [[f"p{m}/{i}" for i in range(10)] for m in range(3)]
    every = [blob_id for ids in ranges for blob_id in ids]
    versions, held = dict.fromkeys(every, 0), dict.fromkeys(every, False)
    try:
        for round in range(40):
            batches = [plan(rng, ranges[m], every, versions, held) for m in range(3)]
            for member, steps in zip(members, batches):
                member.send("batch", [call for call, _ in steps])
            for m, (member, steps) in enumerate(zip(members, batches)):
                for (call, want), got in zip(steps, member.result()):
                    # Another process's ID: any version put up to this round's end.
                    any_version = [None] + [payload(call[1], v) for v in range(versions[call[1]] + 1)]
                    ok = got in any_version if want == ANY_VERSION else got == want
                    assert ok, f"round {round}, process {m}: {call[:2]}: {got!r}, not {want!r}"
            if rng.random() < 0.15:
                rng.choice(members).call("delete_all")
                held = dict.fromkeys(every, False)
            reader = rng.choice(members)
            view = reader.call("batch", [("get", blob_id) for blob_id in every])
            assert view == [payload(b, versions[b]) if held[b] else None for b in every], f"round {round}"
            assert reader.call("len") == sum(held.values())
    finally:
        for member in members:
            member.end()


@pytest.mark.parametrize("max_bytes", [ROOMY, 16 << 10], ids=["roomy", "tight"])
def test_sigkill_of_any_process_owner_included_loses_nothing_promised(tmp_path, max_bytes):
    """Three processes churn IDs of their own and read everyone's; one at a
    time, in every other cycle the owner, is SIGKILLed and started again."""
    directory, rng, roomy = str(tmp_path / "cache"), random.Random(max_bytes), max_bytes == ROOMY
    ranges = [[f"w{m}/{i}" for i in range(15)] for m in range(3)]
    every = [blob_id for ids in ranges for blob_id in ids]
    logs, stored = [str(tmp_path / f"log-{m}") for m in range(3)], [set() for _ in ranges]

    def start(m):
        member = Member(directory, max_bytes, [churn(logs[m], ranges[m], every, random.Random(rng.random()), roomy)])
        member.opened()
        return member

    members = [start(m) for m in range(3)]
    owners_killed = 0
    try:
        for cycle in range(CYCLES):
            time.sleep(rng.uniform(0.005, 0.04))
            owner = owner_pid(directory)
            victim = next((m for m, member in enumerate(members) if member.pid == owner), None)
            if victim is None or cycle % 2:
                victim = rng.randrange(3)
            owners_killed += members[victim].pid == owner
            members[victim].kill()
            promised(logs[victim], stored[victim])
            # The victim's IDs are still now: every survivor reads them, and a put
            # after the kill has an owner that has taken over.
            survivors = members[:victim] + members[victim + 1:]
            for member in survivors:
                got = dict(zip(ranges[victim], member.call("batch", [("get", b) for b in ranges[victim]])))
                assert all(data in (None, payload(b)) for b, data in got.items()), f"cycle {cycle}"
                lost = sorted(b for b in stored[victim] if got[b] is None)
                assert not roomy or lost == [], f"cycle {cycle}: lost {lost}"
            assert survivors[0].call("put", f"probe/{cycle}", b"p") or not roomy  # admission may refuse it
            # Stopped, so that the files are summed at one instant.
            for member in survivors:
                os.kill(member.pid, signal.SIGSTOP)
                os.waitpid(member.pid, os.WUNTRACED)  # every thread has stopped
            try:
                assert disk_bytes(directory) <= max_bytes, f"cycle {cycle}"
            finally:
                for member in survivors:
                    os.kill(member.pid, signal.SIGCONT)
            members[victim] = start(victim)
    finally:
        for member in members:
            if not member.ended:
                member.kill()
    for m in range(3):
        promised(logs[m], stored[m])
    assert owners_killed >= CYCLES // 3
    # Every process gone: the next open leaves no temp file, and every file verifies.
    last = Member(directory, max_bytes)
    last.opened()
    assert blob_files.files(directory, "tmp") == []
    on_disk = blob_files.check_disk(directory)
    assert all(data == payload(b) for b, data in on_disk.items() if not b.startswith("probe/"))
    assert not roomy or set().union(*stored) <= set(on_disk)
    assert last.end() == 0


# The directory as the cache leaves it; opened to everyone; its top directories
# owned by the other user, so that only the owner's socket turns that user away.
REFUSED = {
    "as the cache leaves it": "create blob cache root: Permission denied (os error 13)",
    "opened to everyone": "create blob cache root: Operation not permitted (os error 1)",
    "the other user's": "connect to the cache's owner process: the process serving the directory belongs to another "
                        "user",
}


@pytest.mark.parametrize("how", REFUSED)
def test_another_user_is_refused_and_changes_nothing(how):
    if os.getuid() != 0:
        pytest.skip("dropping to another user needs root")
    top = tempfile.mkdtemp(prefix="qel-users-")  # in /tmp, which any user may reach
    os.chmod(top, 0o755)
    directory = os.path.join(top, "cache")
    try:
        with BlobCache(directory, ROOMY) as cache:
            assert cache.put("mine", b"the owner's")
            for path in (directory, os.path.join(directory, "tmp"), os.path.join(directory, "blobs")):
                if how == "opened to everyone":
                    os.chmod(path, 0o777)
                elif how == "the other user's":
                    os.chown(path, forked.NOBODY, forked.NOBODY)
            before = snapshot(directory)
            opened = forked.run(lambda: forked.error_of(lambda: BlobCache(directory, ROOMY).close()), as_nobody=True)
            assert opened == REFUSED[how]
            assert snapshot(directory) == before
            assert cache.get("mine") == b"the owner's" and cache.put("after", b"still served")
    finally:
        shutil.rmtree(top)
