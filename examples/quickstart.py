"""A first tour of Kelvra."""

import kelvra

df = kelvra.DataFrame()
df["city"] = ["Oslo", "Lima", "Pune", "Kyiv", "Hanoi"]
df["population_m"] = [0.7, 10.9, 7.2, 2.9, 8.5]
df["founded"] = [1040, 1535, None, 482, 1010]
df["capital"] = [True, True, False, True, True]

print("shape:", df.shape(), "columns:", df.columns())
df.head()
