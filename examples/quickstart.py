"""A first tour of Kelvra: build, read, filter, aggregate, print and write tables."""

import os
import tempfile

import kelvra

HERE = os.path.dirname(os.path.abspath(__file__))

# Build a table column by column from Python lists; a column may mix types.
df = kelvra.DataFrame()
df["name"] = ["ada", "grace", "alan", "edsger"]
df["born"] = [1815, 1906, 1912, 1930]
df["score"] = [9.5, 8.75, None, 7.0]
df["active"] = [False, True, True, "unknown"]
print("shape:", df.shape(), "columns:", df.columns())
print("score column:", df["score"])
df.head()

# Read a CSV file; every cell's type is inferred from its own text.
cities = kelvra.read_csv(os.path.join(HERE, "cities.csv"))
print("\ncities.csv:", cities.shape())
cities.head(3)

# Keep the rows whose population exceeds 2 million, then a few columns.
big = cities.filter_gt("population_m", 2.0).select(["city", "population_m", "founded"])
print("\ncities above 2 million:")
big.head()

# Scale, sum and average: one float per column, in column order.
numbers = cities.select(["population_m", "area_km2", "founded"])
print("\nsum: ", numbers.sum())
print("mean:", numbers.mean())
print("area in hectares:")
(numbers.select(["area_km2"]) * 100).head(2)

# Write CSV and JSON, and read them back.
with tempfile.TemporaryDirectory() as tmp:
    csv_path = os.path.join(tmp, "big.csv")
    json_path = os.path.join(tmp, "big.json")
    big.to_csv(csv_path)
    big.to_json(json_path)
    with open(json_path) as f:
        print("\nbig.json:\n" + f.read(), end="")
    again = kelvra.read_csv(csv_path)
    from_json = kelvra.read_json(json_path)
    print("read back from CSV: ", again.shape(), again["city"])
    print("read back from JSON:", from_json.shape(), from_json["population_m"])
