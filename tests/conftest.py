import gzip
import sysconfig
import warnings

import pytest

# The module does not declare that it can run without the global interpreter lock, so a
# free-threaded interpreter turns the lock on when it first imports it, with this warning (which
# test_free_threaded checks in a fresh interpreter). Here the warning is expected, and only here.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
GIL_ENABLED_WARNING = r"The global interpreter lock \(GIL\) has been enabled to load module 'kelvra',"

with warnings.catch_warnings():
    if FREE_THREADED:
        warnings.filterwarnings("ignore", GIL_ENABLED_WARNING, RuntimeWarning)
    import kelvra


@pytest.fixture
def make_df():
    """Builds a DataFrame from column name -> values, in the given order."""

    def make(**columns):
        df = kelvra.DataFrame()
        for name, values in columns.items():
            df[name] = values
        return df

    return make


@pytest.fixture
def csv_path(tmp_path):
    return tmp_path / "data.csv"


@pytest.fixture(params=["stored", "gzip"])
def store(request):
    """Writes a file's content as it is, or gzip-compressed: every reader test that writes through
    it runs on both files, which must give the same table or the same error."""

    def write(path, data: bytes):
        path.write_bytes(gzip.compress(data, compresslevel=1) if request.param == "gzip" else data)

    return write


@pytest.fixture
def read_bytes(csv_path, store):
    """Reads the given file content; returns the shape and {name: cells} in column order."""

    def read(data: bytes):
        store(csv_path, data)
        df = kelvra.read_csv(str(csv_path))
        return df.shape(), {name: df[name] for name in df.columns()}

    return read
