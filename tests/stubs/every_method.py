"""Every name of the module, used as a user script would: `mypy --strict` must pass on it with
the installed stubs (and would report the module missing without them); it also runs."""

import os
import sys
import tempfile

import kelvra

if sys.version_info >= (3, 11):
    from typing import assert_type
else:  # mypy ships typing_extensions
    from typing_extensions import assert_type

Cell = int | float | str | bool | None

df = kelvra.DataFrame()
df["city"] = ["Oslo", "Lima", "Pune"]
df["population_m"] = (0.7, 10.9, None)
df[b"capital"] = [True, True, False]
df[bytearray(b"rank")] = range(3)

assert_type(df["city"], list[Cell])
assert_type(df.shape(), tuple[int, int])
assert_type(df.columns(), list[str])
assert_type(df.select(["city", "rank"]), kelvra.DataFrame)
assert_type(df.filter_gt("population_m", 1), kelvra.DataFrame)
assert_type(df * 2.5, kelvra.DataFrame)
assert_type(df.sum(), dict[str, float])
assert_type(df.mean(), dict[str, float])
assert_type(df.head(), None)
assert_type(df.head(2), None)
stream = df.__arrow_c_stream__()  # the Arrow PyCapsule interface

with tempfile.TemporaryDirectory() as tmp:
    csv_path = os.path.join(tmp, "cities.csv")
    json_path = os.path.join(tmp, "cities.json")
    assert_type(df.to_csv(csv_path), None)
    assert_type(df.to_json(json_path), None)
    from_csv: kelvra.DataFrame = kelvra.read_csv(csv_path)
    from_json: kelvra.DataFrame = kelvra.read_json(json_path)
    shapes: list[tuple[int, int]] = [from_csv.shape(), from_json.shape()]

print(shapes)
