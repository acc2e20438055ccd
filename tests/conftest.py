import pytest

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


@pytest.fixture
def read_bytes(csv_path):
    """Reads the given file content; returns the shape and {name: cells} in column order."""

    def read(data: bytes):
        csv_path.write_bytes(data)
        df = kelvra.read_csv(str(csv_path))
        return df.shape(), {name: df[name] for name in df.columns()}

    return read
