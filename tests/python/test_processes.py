"""Many processes over one cache directory: pools of every start method, a
forked child using its parent's object, one
configuration per directory, a random model over several processes (write-once,
deletes and len across processes), owner and peers SIGKILLed at random,
and another user refused. QEL_PROCESS_CYCLES sets the kills (``make stress``)."""

import multiprocessing
import os
import random
import re
import shutil
import signal
import tempfile
import time

import pytest

from qel import BlobCache, BlobMismatchError

import blob_files
from blob_files import snapshot
import forked
from members import Member, RemoteError, owner_pid

CYCLES = int(os.environ.get("QEL_PROCESS_CYCLES", "50"))
ROOMY = 64 << 20  # evicts nothing in these tests


def payload(blob_id, version=0):
    """Distinct per ID and version, its length varying by ID, so a mix-up or a torn read shows."""
    return f"{blob_id}#{version};".encode() * (1 + sum(map(ord, blob_id)) % 97)


def is_some_version(blob_id, data):
    """Whether data is payload(blob_id, v) for some v."""
    head = f"{blob_id}#".encode()
    if not data.startswith(head):
        return False
    version = data[len(head):data.index(b";")].decode()
    return version.isdigit() and data == payload(blob_id, int(version))


def disk_bytes(directory):
    return sum(os.path.getsize(path) for path in blob_files.files(directory, "blobs"))


def pool_worker(directory, max_bytes, worker):
    """Puts and gets 40 IDs every worker shares; what it saw, for the parent to check."""
    rng = random.Random(worker)
    ids = [f"shared/{i}" for i in range(40)]
    admitted, hits, wrong = set(), 0, []
    with BlobCache(directory, max_bytes) as cache:
        for _ in range(300):
            blob_id = rng.choice(ids)
            if rng.random() < 0.5:
                if cache.put(blob_id, payload(blob_id)):
                    admitted.add(blob_id)
            elif (data := cache.get(blob_id)) is not None:
                hits += 1
                if data != payload(blob_id):
                    wrong.append(blob_id)
    return os.getpid(), admitted, hits, wrong


# A tight budget holds a few blobs: admissions and evictions race between processes.
@pytest.mark.parametrize("method, max_bytes", [
    ("fork", ROOMY), ("fork", 4 << 10), ("forkserver", ROOMY), ("spawn", 4 << 10)])
def test_pool_workers_share_one_directory(tmp_path, method, max_bytes):
    directory = str(tmp_path / "cache")
    with multiprocessing.get_context(method).Pool(4) as pool:
        seen = pool.starmap(pool_worker, [(directory, max_bytes, w) for w in range(4)], chunksize=1)
    assert len({pid for pid, *_ in seen}) == 4, "the tasks did not run in four processes"
    assert [wrong for *_, wrong in seen] == [[]] * 4
    assert all(admitted and hits for _, admitted, hits, _ in seen), seen
    on_disk = blob_files.check_disk(directory)
    assert all(data == payload(blob_id) for blob_id, data in on_disk.items())
    assert disk_bytes(directory) <= max_bytes
    admitted = set().union(*(admitted for _, admitted, *_ in seen))
    if max_bytes == ROOMY:
        assert set(on_disk) == admitted
    else:
        assert set(on_disk) < admitted  # the 40 blobs take twice the budget


def loader_worker(cache, worker, results):
    """A data loader's worker, using the cache its parent opened."""
    got = [cache.get(f"parent/{i}") == payload(f"parent/{i}") for i in range(20)]
    put = [cache.put(f"worker/{worker}/{i}", payload(f"worker/{worker}/{i}")) for i in range(20)]
    results.put((worker, all(got), all(put), len(cache)))


def test_forked_workers_use_the_object_their_parent_opened_and_used(tmp_path):
    directory = str(tmp_path / "cache")
    with BlobCache(directory, ROOMY) as cache:
        for i in range(20):
            assert cache.put(f"parent/{i}", payload(f"parent/{i}"))
            assert cache.get(f"parent/{i}") == payload(f"parent/{i}")
        context = multiprocessing.get_context("fork")
        results = context.Queue()
        workers = [context.Process(target=loader_worker, args=(cache, w, results)) for w in range(4)]
        for worker in workers:
            worker.start()
        # The parent goes on using it meanwhile.
        for i in range(20):
            assert cache.put(f"parent/more/{i}", payload(f"parent/more/{i}"))
        outcome = sorted(results.get(timeout=60) for _ in workers)
        for worker in workers:
            worker.join(60)
            assert worker.exitcode == 0
        assert [row[:3] for row in outcome] == [(w, True, True) for w in range(4)]
        assert all(40 + 20 <= held <= 40 + 80 for *_, held in outcome), outcome
        assert all(cache.get(f"worker/{w}/{i}") == payload(f"worker/{w}/{i}") for w in range(4) for i in range(20))
        assert len(cache) == 40 + 80
        stats = cache.stats()
        assert (stats.blobs, stats.puts_admitted) == (120, 40), "puts are counted by the process that made them"


@pytest.mark.parametrize("first, second", [
    ((1 << 20, 0), (2 << 20, 0)),
    ((1 << 20, 0), (1 << 20, 5000)),
    ((1 << 20, 5000), (1 << 20, 0)),
])
def test_a_second_process_with_another_configuration_is_refused(cache_dir, first, second):
    with BlobCache(cache_dir, first[0], frequency_counters=first[1]) as cache:
        assert cache.put("x", b"held")
        member = Member(cache_dir, second[0], frequency_counters=second[1])
        with pytest.raises(RemoteError) as refused:
            member.opened()
        member.end()
        assert refused.value.kind == "ValueError"
        assert re.search(rf"max_bytes={first[0]}, frequency_counters={first[1]}\b.*"
                         rf"max_bytes={second[0]}, frequency_counters={second[1]}\b", refused.value.text), \
            refused.value.text
        assert cache.get("x") == b"held" and len(cache) == 1


ANY_VERSION = object()  # what a read of an ID another process changes meanwhile may return


def plan(rng, own, others, versions, held):
    """A batch of calls on the process's own IDs and reads of the others',
    with what each must return; versions and held move on as it goes."""
    calls, expected = [], []
    for _ in range(rng.randrange(4, 20)):
        blob_id, r = rng.choice(own), rng.random()
        if r < 0.35:
            if not held[blob_id]:
                versions[blob_id] += 1  # a put after a delete may store other bytes
                held[blob_id] = True
                calls.append(("put", blob_id, payload(blob_id, versions[blob_id])))
                expected.append(True)
            elif rng.random() < 0.7:
                calls.append(("put", blob_id, payload(blob_id, versions[blob_id])))
                expected.append(True)
            else:
                calls.append(("put", blob_id, payload(blob_id, versions[blob_id] + 1)))
                expected.append(BlobMismatchError.__name__)
        elif r < 0.5:
            calls.append(("delete", blob_id))
            expected.append(None)
            held[blob_id] = False
        elif r < 0.7:
            calls.append(("get", blob_id))
            expected.append(payload(blob_id, versions[blob_id]) if held[blob_id] else None)
        elif r < 0.8:
            calls.append(("contains", blob_id))
            expected.append(held[blob_id])
        else:
            calls.append(("get", rng.choice(others)))
            expected.append(ANY_VERSION)
    return calls, expected


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
            for member, (calls, _) in zip(members, batches):
                member.send("batch", calls)
            for m, (member, (calls, expected)) in enumerate(zip(members, batches)):
                for call, want, got in zip(calls, expected, member.result()):
                    where = f"round {round}, process {m}: {call[:2]}"
                    if want is ANY_VERSION:
                        assert got is None or is_some_version(call[1], got), f"{where}: {got[:40]!r}"
                    elif isinstance(want, str):
                        assert isinstance(got, RemoteError) and got.kind == want, f"{where}: {got!r}"
                    else:
                        assert got == want, f"{where}: {got!r}, not {want!r}"
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


def crash_writer(ids, every, seed, roomy):
    """Puts, deletes and reads until killed: puts and deletes only on `ids`, so
    the log is the whole story of them. Logs P after a put returned True, D
    before a delete, X for a wrong or (with a budget that evicts nothing)
    missing read, E for an exception."""
    def run(cache, log_fd):
        rng, mine = random.Random(seed), set()
        try:
            while True:
                blob_id, r = rng.choice(ids), rng.random()
                if r < 0.45:
                    if cache.put(blob_id, payload(blob_id)):
                        mine.add(blob_id)
                        os.write(log_fd, f"P {blob_id}\n".encode())
                elif r < 0.6:
                    os.write(log_fd, f"D {blob_id}\n".encode())
                    mine.discard(blob_id)
                    cache.delete(blob_id)
                else:
                    read = rng.choice(every)
                    data = cache.get(read)
                    if data not in (None, payload(read)) or (roomy and data is None and read in mine):
                        os.write(log_fd, f"X {read}: {None if data is None else data[:40]!r}\n".encode())
        except BaseException as e:
            os.write(log_fd, f"E {e!r}\n".encode())
    return run


def temp_entries_of_the_dead(directory, living):
    """Entries of tmp/ that belong to no living process."""
    dead = []
    for name in os.listdir(os.path.join(directory, "tmp")):
        match = re.fullmatch(r"writer-(\d+)-[0-9a-f]{16}", name)
        if not (match and int(match[1]) in living and os.path.isdir(os.path.join(directory, "tmp", name))):
            dead.append(name)
    return dead


@pytest.mark.parametrize("max_bytes", [ROOMY, 16 << 10], ids=["roomy", "tight"])
def test_sigkill_of_any_process_owner_included_loses_nothing_promised(cache_dir, max_bytes):
    rng, roomy = random.Random(max_bytes), max_bytes == ROOMY
    ranges = [[f"w{m}/{i}" for i in range(15)] for m in range(3)]
    every = [blob_id for ids in ranges for blob_id in ids]
    stored = [set() for _ in ranges]  # per range: IDs whose last logged event is an acknowledged put

    def start(m):
        member = Member(cache_dir, max_bytes, background=crash_writer(ranges[m], every, rng.random(), roomy))
        member.opened()
        return member

    def follow(m, member, where):
        for line in member.read_log():
            kind, _, blob_id = line.partition(" ")
            assert kind in ("P", "D"), f"{where}, process {m}: {line}"
            (stored[m].add if kind == "P" else stored[m].discard)(blob_id)

    members = [start(m) for m in range(3)]
    owners_killed = 0
    try:
        for cycle in range(CYCLES):
            time.sleep(rng.uniform(0.005, 0.04))
            owner = owner_pid(cache_dir)
            victim = next((m for m, member in enumerate(members) if member.pid == owner), None)
            if victim is None or cycle % 2:
                victim = rng.randrange(3)
            owners_killed += members[victim].pid == owner
            members[victim].kill()
            for m, member in enumerate(members):
                follow(m, member, f"cycle {cycle}")
            # The victim's IDs are still now: every survivor reads them, and a put
            # after the kill has an owner that has taken over.
            survivors = [member for m, member in enumerate(members) if m != victim]
            for member in survivors:
                got = member.call("batch", [("get", blob_id) for blob_id in ranges[victim]])
                readable = {b for b, data in zip(ranges[victim], got) if data is not None}
                assert all(data in (None, payload(b)) for b, data in zip(ranges[victim], got)), f"cycle {cycle}"
                if roomy:
                    assert stored[victim] <= readable, f"cycle {cycle}: lost {sorted(stored[victim] - readable)}"
            assert survivors[0].call("put", f"probe/{cycle}", b"p") or not roomy  # admission may refuse it
            if members[victim].pid == owner:
                living = {member.pid for member in survivors}
                assert temp_entries_of_the_dead(cache_dir, living) == [], f"cycle {cycle}"
            # Stopped, so that the files are summed at one instant.
            for member in survivors:
                os.kill(member.pid, signal.SIGSTOP)
                os.waitpid(member.pid, os.WUNTRACED)  # every thread has stopped
            try:
                assert disk_bytes(cache_dir) <= max_bytes, f"cycle {cycle}"
            finally:
                for member in survivors:
                    os.kill(member.pid, signal.SIGCONT)
            members[victim] = start(victim)
    finally:
        for member in members:
            if not member.ended:
                member.kill()
    for m, member in enumerate(members):
        follow(m, member, "at the end")
    assert owners_killed >= CYCLES // 3
    # Every process gone: the next open leaves no temp file, and every file verifies.
    last = Member(cache_dir, max_bytes)
    last.opened()
    assert blob_files.files(cache_dir, "tmp") == []
    on_disk = blob_files.check_disk(cache_dir)
    assert all(data == payload(b) for b, data in on_disk.items() if not b.startswith("probe/"))
    if roomy:
        assert set().union(*stored) <= set(on_disk)
    assert last.end() == 0


def open_as_nobody(directory):
    try:
        BlobCache(directory, ROOMY).close()
    except RuntimeError as e:
        return f"{type(e).__name__}: {e}"
    return "opened"


# The directory as the cache leaves it; opened to everyone; its top directories
# owned by the other user, so that only the owner's socket turns that user away.
REFUSED = {
    "as the cache leaves it": "RuntimeError: create blob cache root: Permission denied (os error 13)",
    "opened to everyone": "RuntimeError: create blob cache root: Operation not permitted (os error 1)",
    "the other user's": "RuntimeError: connect to the cache's owner process: the process serving the directory "
                        "belongs to another user",
}


@pytest.mark.parametrize("how", REFUSED)
def test_another_user_is_refused_and_changes_nothing(how):
    if os.getuid() != 0:
        pytest.skip("dropping to another user needs root")
    top = tempfile.mkdtemp(prefix="qel-users-")  # in /tmp, which any user may reach
    os.chmod(top, 0o755)
    try:
        refused_after_open(os.path.join(top, "cache"), how)
    finally:
        shutil.rmtree(top)


def refused_after_open(directory, how):
    with BlobCache(directory, ROOMY) as cache:
        assert cache.put("mine", b"the owner's")
        if how == "opened to everyone":
            for path in (directory, os.path.join(directory, "tmp"), os.path.join(directory, "blobs")):
                os.chmod(path, 0o777)
        elif how == "the other user's":
            for path in (directory, os.path.join(directory, "tmp"), os.path.join(directory, "blobs")):
                os.chown(path, forked.NOBODY, forked.NOBODY)
        before = snapshot(directory)
        refused = forked.run(open_as_nobody, directory, as_nobody=True)
        assert snapshot(directory) == before
        assert cache.get("mine") == b"the owner's" and cache.put("after", b"still served")
    assert refused == REFUSED[how]
