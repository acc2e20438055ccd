import json
import math

import pytest
from json_tables import make_table

import kelvra


def written(tmp_path, columns):
    path = tmp_path / "out.json"
    make_table(columns).to_json(str(path))
    return path.read_bytes().decode("utf-8")


def only_cell(tmp_path, value):
    """The text written for one cell, cut out of the single-member row object."""
    text = written(tmp_path, {"v": [value]})
    prefix, suffix = '[\n  {"v": ', "}\n]\n"
    assert text.startswith(prefix) and text.endswith(suffix)
    return text[len(prefix) : -len(suffix)]


class TestLayout:
    def test_rows_one_per_line(self, tmp_path):
        text = written(tmp_path, {"a": [1, 2], "b": [2.5, None], "c": ["x", "y"]})
        assert text == (
            "[\n"
            '  {"a": 1, "b": 2.5, "c": "x"},\n'
            '  {"a": 2, "b": null, "c": "y"}\n'
            "]\n"
        )

    @pytest.mark.parametrize(
        "columns, expected",
        [
            ({}, "[\n]\n"),
            ({"a": []}, "[\n]\n"),
            ({"a": [1]}, '[\n  {"a": 1}\n]\n'),
            ({"a": [True, False]}, '[\n  {"a": true},\n  {"a": false}\n]\n'),
            # A row past the end of a shorter column is written null.
            ({"a": [1, 2, 3], "b": ["x"]}, '[\n  {"a": 1, "b": "x"},\n  {"a": 2, "b": null},\n'
             '  {"a": 3, "b": null}\n]\n'),
        ],
    )
    def test_shapes(self, tmp_path, columns, expected):
        assert written(tmp_path, columns) == expected

    def test_members_follow_first_set_order_after_replacement(self, tmp_path):
        path = tmp_path / "out.json"
        df = make_table({"z": [1], "a": [2], "m": [3]})
        df["z"] = [9]
        df.to_json(str(path))
        assert path.read_text() == '[\n  {"z": 9, "a": 2, "m": 3}\n]\n'

    def test_replaces_existing_file(self, tmp_path):
        path = tmp_path / "out.json"
        path.write_text("x" * 10000)
        make_table({"a": [1]}).to_json(str(path))
        assert path.read_text() == '[\n  {"a": 1}\n]\n'

    def test_output_larger_than_one_write_chunk(self, tmp_path):
        rows = 40000
        columns = {"i": list(range(rows)), "s": [f"text {i} " * 5 for i in range(rows)]}
        records = json.loads(written(tmp_path, columns))
        assert records == [{"i": i, "s": s} for i, s in zip(columns["i"], columns["s"])]


class TestValues:
    @pytest.mark.parametrize(
        "value, text",
        [
            (3.0, "3.0"),
            (2.5, "2.5"),
            (0.1 + 0.2, "0.30000000000000004"),
            (1e-05, "1e-05"),
            (-0.0, "-0.0"),
            (-9223372036854775808, "-9223372036854775808"),
            (9223372036854775807, "9223372036854775807"),
            (float("nan"), "null"),
            (float("inf"), "null"),
            (float("-inf"), "null"),
            (None, "null"),
        ],
    )
    def test_number_text(self, tmp_path, value, text):
        assert only_cell(tmp_path, value) == text

    @pytest.mark.parametrize(
        "value", [1e6, 1e22, 123456789.125, 5e-324, 1.7976931348623157e308, 2.0**63, -1234.5e-10]
    )
    def test_doubles_read_back_as_the_same_double(self, tmp_path, value):
        back = json.loads(only_cell(tmp_path, value))
        assert type(back) is float and back == value


class TestEscaping:
    SHORT = {"\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}

    @pytest.mark.parametrize("code", range(0x20))
    def test_control_characters(self, tmp_path, code):
        char = chr(code)
        expected = self.SHORT.get(char, f"\\u{code:04x}")
        assert only_cell(tmp_path, f"a{char}b") == f'"a{expected}b"'

    @pytest.mark.parametrize(
        "value, text",
        [
            ('say "hi"', '"say \\"hi\\""'),
            ("C:\\dir\\", '"C:\\\\dir\\\\"'),
            ("é 漢字 🙂 \x7f", '"é 漢字 🙂 \x7f"'),
            ("", '""'),
        ],
    )
    def test_quote_backslash_and_passthrough(self, tmp_path, value, text):
        assert only_cell(tmp_path, value) == text

    def test_special_bytes_past_the_first_sixteen(self, tmp_path):
        # Strings are checked sixteen bytes at a time, up to the end of the column's text.
        cells = ["abcdefghijklmnopq\\", "abcdefghijklmnopqrstuü", 'abcdefghijklmnopqrstu"', "x\t"]
        text = written(tmp_path, {"s": cells})
        assert text.splitlines()[1:-1] == [
            '  {"s": "abcdefghijklmnopq\\\\"},',
            '  {"s": "abcdefghijklmnopqrstuü"},',
            '  {"s": "abcdefghijklmnopqrstu\\""},',
            '  {"s": "x\\t"}',
        ]

    def test_column_names_escaped_and_valid(self, tmp_path):
        name = 'odd "name"\\\n\x00é'
        text = written(tmp_path, {name: ["v\x1f"]})
        assert '"odd \\"name\\"\\\\\\n\\u0000é": ' in text
        assert json.loads(text) == [{name: "v\x1f"}]


class TestErrors:
    def test_full_device(self):
        with pytest.raises(RuntimeError, match=r"^Error writing file: /dev/full$"):
            make_table({"a": list(range(10))}).to_json("/dev/full")

    @pytest.mark.parametrize("where", ["missing/out.json", "."])
    def test_cannot_open(self, tmp_path, where):
        path = str(tmp_path / where)
        with pytest.raises(RuntimeError) as info:
            make_table({"a": [1]}).to_json(path)
        assert str(info.value) == "Cannot open file for writing: " + path
        assert not (tmp_path / "missing").exists()


def test_non_finite_file_is_valid_json(tmp_path):
    text = written(tmp_path, {"x": [math.nan, 1.5, -math.inf]})
    assert json.loads(text) == [{"x": None}, {"x": 1.5}, {"x": None}]


@pytest.mark.parametrize(
    "latin1_csv, fault",
    [
        (b"caf\xe9,b\n1,x\n", "the column name 'caf\\xe9' is not valid UTF-8"),
        (b"a,b\n1,ok\n2,caf\xe9\n", "the string in column 'b' at row 1 (counting from 0) is not valid UTF-8"),
    ],
)
def test_text_that_is_not_utf8_is_refused(tmp_path, latin1_csv, fault):
    source = tmp_path / "latin1.csv"
    source.write_bytes(latin1_csv)
    df = kelvra.read_csv(str(source))
    target = tmp_path / "out.json"
    target.write_bytes(b"old")
    with pytest.raises(ValueError) as err:
        df.to_json(str(target))
    assert str(err.value) == f"Cannot write {target} as JSON: {fault}"
    assert target.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["latin1.csv", "out.json"]
    # CSV carries the bytes through unchanged.
    df.to_csv(str(target))
    assert target.read_bytes() == latin1_csv
