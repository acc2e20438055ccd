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
