"""The module's surface: names, docstrings, signatures and argument checking."""

import os
import subprocess
import sys
import textwrap

import pytest

import kelvra

METHODS = [
    ("shape", "Get shape as (rows, cols)"),
    ("columns", "Get column names"),
    ("select", "Select columns"),
    ("filter_gt", "Filter rows where column > value"),
    ("__mul__", "Multiply by scalar"),
    ("sum", "Sum of numeric columns"),
    ("mean", "Mean of numeric columns"),
    ("to_csv", "Export to CSV"),
    ("head", "Show first n rows"),
    ("to_json", "Export to JSON"),
]


def test_module_docstring_and_names():
    assert kelvra.__doc__ == "Kelvra - High-performance DataFrame library"
    assert kelvra.DataFrame.__module__ == "kelvra"
    assert kelvra.DataFrame.__qualname__ == "DataFrame"
    assert kelvra.read_json.__doc__.endswith("Read JSON file\n")
    assert kelvra.read_csv.__doc__.endswith("Read CSV file\n")


@pytest.mark.parametrize("name,doc", METHODS)
def test_method_docstrings(name, doc):
    assert getattr(kelvra.DataFrame, name).__doc__.endswith("\n\n" + doc + "\n")


def test_no_extra_surface():
    public = {n for n in vars(kelvra.DataFrame) if not n.startswith("_")}
    assert public == {"shape", "columns", "select", "filter_gt", "sum", "mean", "to_csv", "head",
                      "to_json"}
    for absent in ("__len__", "__iter__", "__rmul__", "__imul__", "__delitem__", "__contains__"):
        assert absent not in vars(kelvra.DataFrame)
    assert {n for n in vars(kelvra) if not n.startswith("_")} == {"DataFrame", "read_json", "read_csv"}


def test_type_stub_matches_the_module():
    import ast
    import pathlib

    stub = pathlib.Path(__file__).parent.parent / "bindings" / "kelvra.pyi"
    tree = ast.parse(stub.read_text())
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    [frame] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "DataFrame"]
    methods = {n.name for n in frame.body if isinstance(n, ast.FunctionDef)}
    assert functions == {"read_json", "read_csv"}
    assert methods == {n for n in vars(kelvra.DataFrame) if not n.startswith("_pybind11")} - {
        "__doc__", "__module__", "__dict__", "__weakref__", "__new__"
    }


def test_head_signature_shows_default():
    assert "n: typing.SupportsInt" in kelvra.DataFrame.head.__doc__
    assert "= 5" in kelvra.DataFrame.head.__doc__


def test_empty_table():
    df = kelvra.DataFrame()
    assert df.shape() == (0, 0)
    assert df.columns() == []


@pytest.mark.parametrize(
    "call",
    [
        lambda df: df.head(2.5),
        lambda df: df.head(2**31),
        lambda df: df.head(-(2**31) - 1),
        lambda df: df.to_json(path="x.json"),
        lambda df: df.to_csv(path="x.csv"),
        lambda df: df.select("a"),
        lambda df: df.select([1]),
        lambda df: df * "x",
        lambda df: 2 * df,
        lambda df: df.filter_gt("a", "x"),
        lambda df: df.__setitem__(1, [1]),
        lambda df: kelvra.read_csv(1),
    ],
)
def test_refused_arguments_raise_type_error(call, make_df):
    df = make_df(a=[1, 2])
    with pytest.raises(TypeError):
        call(df)
    assert df["a"] == [1, 2]


def test_multiplication_returns_new_tables(make_df):
    df = make_df(a=[1, 2])
    for factor in (2, 2.5, True):
        out = df * factor
        assert out is not df
        assert isinstance(out, kelvra.DataFrame)
    assert df["a"] == [1, 2]


def test_select_result_is_independent(make_df):
    df = make_df(a=[1], b=[2])
    sub = df.select(("a",))
    sub["z"] = [9]
    assert df.columns() == ["a", "b"]
    assert sub.columns() == ["a", "z"]


def test_read_json_missing_path_message(tmp_path):
    path = str(tmp_path / "missing.json")
    with pytest.raises(RuntimeError) as err:
        kelvra.read_json(path)
    assert str(err.value) == "Cannot open JSON file: " + path


FILE_OPERATIONS = [
    kelvra.read_csv,
    kelvra.read_json,
    lambda p: kelvra.DataFrame().to_csv(p),
    lambda p: kelvra.DataFrame().to_json(p),
]


@pytest.mark.parametrize("call", FILE_OPERATIONS)
@pytest.mark.parametrize("as_bytes", [False, True])
def test_path_with_nul_byte_is_refused(tmp_path, call, as_bytes):
    (tmp_path / "a").write_text("x\n1\n")
    path = str(tmp_path / "a") + "\0b"
    with pytest.raises(ValueError, match="^embedded null byte$"):
        call(os.fsencode(path) if as_bytes else path)
    assert os.listdir(tmp_path) == ["a"]
    assert (tmp_path / "a").read_text() == "x\n1\n"


@pytest.mark.parametrize(
    "call",
    [
        lambda df: df.__setitem__("a", [1]),
        lambda df: df["a"],
        lambda df: df.shape(),
        lambda df: df.columns(),
        lambda df: df.select(["a"]),
        lambda df: df.filter_gt("a", 0),
        lambda df: df * 2,
        lambda df: df.sum(),
        lambda df: df.mean(),
        lambda df: df.to_csv("unused.csv"),
        lambda df: df.head(),
        lambda df: df.to_json("unused.json"),
    ],
)
def test_object_without_table_raises_type_error(call, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    df = kelvra.DataFrame.__new__(kelvra.DataFrame)
    with pytest.raises(TypeError, match="has no table"):
        call(df)
    df.__init__()
    call(df)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer cannot run under an address-space limit")
@pytest.mark.skipif("KELVRA_QEMU_USER" in os.environ,
                    reason="under qemu-user an address-space limit binds the emulator itself")
def test_memory_running_out_raises_memory_error():
    code = textwrap.dedent(
        """
        import resource
        import kelvra
        # 300 MB beyond what the interpreter and the module already map (a free-threaded
        # interpreter reserves far more address space than a GIL build).
        with open("/proc/self/status") as status:
            mapped = next(int(l.split()[1]) for l in status if l.startswith("VmSize:")) << 10
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (300 << 20), mapped + (300 << 20)))
        df = kelvra.DataFrame()
        df["a"] = list(range(2_000_000))
        keep = []
        try:
            while True:
                keep.append(df["a"])
        except MemoryError:
            keep.clear()
            print("MemoryError")
        """
    )
    env = dict(os.environ)
    module_dir = os.path.dirname(kelvra.__file__)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert (done.returncode, done.stdout.strip()) == (0, "MemoryError"), done.stderr
