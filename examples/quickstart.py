"""A first tour of Kelvra."""

import os
import tempfile

import kelvra

df = kelvra.DataFrame()
df["city"] = ["Oslo", "Lima", "Pune", "Kyiv", "Hanoi"]
df["population_m"] = [0.7, 10.9, 7.2, 2.9, 8.5]
df["founded"] = [1040, 1535, None, 482, 1010]
df["capital"] = [True, True, False, True, True]

print("shape:", df.shape(), "columns:", df.columns())
df.head()

# JSON: one object per row; read_json gives back the same table.
with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "cities.json")
    df.to_json(path)
    back = kelvra.read_json(path)
    print("read back from JSON:", back.shape(), back["founded"])
