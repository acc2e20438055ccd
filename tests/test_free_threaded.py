"""On a free-threaded interpreter the module needs the global interpreter lock.

It declares no Py_mod_gil slot, so its first import turns the lock on for the process, with a
RuntimeWarning; started with ``-X gil=0`` the interpreter keeps the lock off and the module still
works, on one thread or on several that each hold tables of their own. ``make test-free-threaded``
runs these.
"""

import json
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"),
    reason="needs a free-threaded interpreter (make test-free-threaded); this one has a GIL",
)

GIL_ENABLED = (
    "The global interpreter lock (GIL) has been enabled to load module 'kelvra', which has not "
    "declared that it can run safely without the GIL."
)

# A fresh interpreter imports the module, recording every warning, and sends a table through a
# CSV file; it reports the lock's state before and after the import.
PROBE = textwrap.dedent(
    """
    import json, sys, warnings
    before = sys._is_gil_enabled()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        import kelvra
    after = sys._is_gil_enabled()
    df = kelvra.DataFrame()
    df["n"] = [1, None, -3]
    df["x"] = [0.5, 2.25, None]
    df["s"] = ["a", "b,c", 'say "hi"']
    df.to_csv(sys.argv[1])
    back = kelvra.read_csv(sys.argv[1])
    print(json.dumps({
        "gil": [before, after],
        "warnings": [[w.category.__name__, str(w.message)] for w in caught],
        "table": {name: back[name] for name in back.columns()},
    }))
    """
)


@pytest.mark.parametrize(
    ("options", "gil_after", "warned"),
    [
        pytest.param([], True, True, id="default-import-turns-gil-on"),
        pytest.param(["-X", "gil=0"], False, False, id="gil-forced-off"),
    ],
)
def test_import_and_round_trip(tmp_path, options, gil_after, warned):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHON_GIL", "PYTHONWARNINGS")}
    run = subprocess.run(
        [sys.executable, *options, "-c", PROBE, str(tmp_path / "t.csv")],
        capture_output=True,
        text=True,
        env=env,
        check=False,
    )
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    assert report["gil"] == [False, gil_after]
    if warned:
        [(category, message)] = report["warnings"]
        assert category == "RuntimeWarning"
        assert message.startswith(GIL_ENABLED), message
    else:
        assert report["warnings"] == []
    assert report["table"] == {
        "n": [1, None, -3],
        "x": [0.5, 2.25, None],
        "s": ["a", "b,c", 'say "hi"'],
    }


# Threads, each with tables of its own, derive and free large tables at once: the memory kept for
# reuse between tables is shared by the process, and must hand each block to one table only.
THREADS_PROBE = textwrap.dedent(
    """
    import sys, threading
    import kelvra
    ROWS = 300_000
    failures = []

    def work(k):
        df = kelvra.DataFrame()
        df["v"] = [k] * ROWS
        for round_ in range(1, 16):
            product = df * round_
            kept = product.filter_gt("v", -1.0)
            if product.sum()["v"] != k * round_ * ROWS or kept.mean()["v"] != k * round_:
                failures.append((k, round_))
            del product, kept

    threads = [threading.Thread(target=work, args=(k,)) for k in range(1, 5)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(sys._is_gil_enabled(), failures)
    """
)


# With the lock forced off, other threads rewrite and resize a list while columns are made from
# it in place: every column must still hold only values the list ever held.
CHANGING_LIST = textwrap.dedent(
    """
    import threading
    import kelvra
    shared = ["a", "bé", 1, 2.5, None] * 2000
    allowed = {"a", "bé", 1, 2.5, None, "é", "xé", 3}
    stop = threading.Event()
    def change():
        i = 0
        while not stop.is_set():
            shared[i % 10000] = "xé" if i % 2 else "é"
            shared.append(3)
            shared.pop()
            i += 1
    threads = [threading.Thread(target=change) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        for _ in range(200):
            df = kelvra.DataFrame()
            df["v"] = shared
            assert set(df["v"]) <= allowed, set(df["v"]) - allowed
    finally:
        stop.set()
        for t in threads:
            t.join()
    """
)


def test_threads_with_the_gil_forced_off_share_the_kept_memory():
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHON_GIL", "PYTHONWARNINGS")}
    run = subprocess.run([sys.executable, "-X", "gil=0", "-c", THREADS_PROBE],
                         capture_output=True, text=True, env=env, check=False)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["False", "[]"]


def test_list_changed_by_other_threads_while_read():
    run = subprocess.run(
        [sys.executable, "-X", "gil=0", "-c", CHANGING_LIST],
        capture_output=True,
        text=True,
        check=False,
    )
    assert run.returncode == 0, run.stderr
