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

# CSV keeps every value: booleans come back as 1/0, missing cells as None.
with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "cities.csv")
    df.to_csv(path)
    back = kelvra.read_csv(path)
    print("read back:", back.shape(), back["founded"], back["capital"])
