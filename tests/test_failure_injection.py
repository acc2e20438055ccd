"""Readers and writers facing failing files: errors are raised, never a partial success."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import kelvra

HERE = os.path.dirname(os.path.abspath(__file__))
ROWS = 200_000  # enough that both the reading and the writing take many blocks


@pytest.fixture(scope="module")
def io_fault(tmp_path_factory):
    """The fault-injection library, compiled for this machine."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the fault-injection library")
    lib = tmp_path_factory.mktemp("fault") / "io_fault.so"
    # The compiler runs without any preloaded sanitizer runtime the suite itself may run under.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", str(lib),
                    os.path.join(HERE, "failure", "io_fault.c"), "-ldl"], check=True, env=env)
    return str(lib)


def error_with_fault(io_fault, fault_path, after, call):
    """Runs `call` (an expression) in a child interpreter whose I/O on fault_path fails after
    `after` bytes; returns the RuntimeError's message, or "no error"."""
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), io_fault]))
    env["KELVRA_FAULT_PATH"] = str(fault_path)
    env["KELVRA_FAULT_AFTER"] = str(after)
    module_dir = os.path.dirname(kelvra.__file__)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    code = textwrap.dedent(
        f"""
        import kelvra
        df = kelvra.DataFrame()
        df["n"] = range({ROWS})
        df["s"] = ['text, with "quotes"'] * {ROWS}
        try:
            {call}
        except RuntimeError as e:
            print(e)
        else:
            print("no error")
        """
    )
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_read_error_part_way_raises(io_fault, tmp_path, fmt):
    path = tmp_path / f"data.{fmt}"
    df = kelvra.DataFrame()
    df["n"] = range(ROWS)
    df["s"] = ['text, with "quotes"'] * ROWS
    getattr(df, f"to_{fmt}")(str(path))
    assert path.stat().st_size > 4 << 20
    message = error_with_fault(io_fault, path, 3 << 20, f"kelvra.read_{fmt}({str(path)!r})")
    assert message == f"Error reading file: {path}"


@pytest.mark.parametrize("fmt", ["csv", "json"])
@pytest.mark.parametrize("after", [0, 100, 3 << 20])
@pytest.mark.parametrize("existing", [False, True])
def test_write_error_part_way_raises(io_fault, tmp_path, fmt, after, existing):
    path = tmp_path / f"out.{fmt}"
    if existing:
        path.write_bytes(b"old content\n")
    message = error_with_fault(io_fault, f"{tmp_path}/", after, f"df.to_{fmt}({str(path)!r})")
    assert message == f"Error writing file: {path}"
    # Nothing half-written is left: an old file stays whole, a new one does not appear.
    assert os.listdir(tmp_path) == (["out." + fmt] if existing else [])
    if existing:
        assert path.read_bytes() == b"old content\n"


# Each file operation with the message prefix of its failure to open.
FILE_OPERATIONS = [
    (kelvra.read_csv, "Cannot open file: "),
    (kelvra.read_json, "Cannot open JSON file: "),
    (lambda p: kelvra.DataFrame().to_csv(p), "Cannot open file for writing: "),
    (lambda p: kelvra.DataFrame().to_json(p), "Cannot open file for writing: "),
]


@pytest.mark.parametrize("call,prefix", FILE_OPERATIONS)
@pytest.mark.parametrize("where", ["directory", "missing_dir", "no_permission"])
def test_open_failures_name_the_path(tmp_path, call, prefix, where):
    if where == "directory":
        path = str(tmp_path)
    elif where == "missing_dir":
        path = str(tmp_path / "no" / "such" / "file")
    else:
        if os.geteuid() == 0:
            pytest.skip("root reads and writes files without permission bits")
        locked = tmp_path / "locked"
        locked.write_text("a\n1\n")
        locked.chmod(0)
        path = str(locked)
    with pytest.raises(RuntimeError) as err:
        call(path)
    assert str(err.value) == prefix + path


@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_file_size_limit_part_way_leaves_the_old_file(tmp_path, fmt):
    """A real failing write: the kernel refuses to grow any file past 1 MB (EFBIG)."""
    path = tmp_path / f"out.{fmt}"
    path.write_bytes(b"old content\n")
    module_dir = os.path.dirname(kelvra.__file__)
    code = textwrap.dedent(
        f"""
        import resource, signal
        import kelvra
        df = kelvra.DataFrame()
        df["n"] = range({ROWS})
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        try:
            df.to_{fmt}({str(path)!r})
        except RuntimeError as e:
            print(e)
        """
    )
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert (done.returncode, done.stdout.strip()) == (0, f"Error writing file: {path}"), done.stderr
    assert path.read_bytes() == b"old content\n"
    assert os.listdir(tmp_path) == [path.name]


@pytest.mark.parametrize("call,prefix", FILE_OPERATIONS)
def test_path_not_utf8_is_escaped_in_the_message(call, prefix):
    with pytest.raises(RuntimeError) as err:
        call(b"/missing/caf\xe9.csv")
    assert str(err.value) == prefix + "/missing/caf\\xe9.csv"
