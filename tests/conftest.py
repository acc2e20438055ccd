import pytest

import kelvra


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
