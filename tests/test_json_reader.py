import json
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from json_tables import contents, make_table

import kelvra


@pytest.fixture
def read(tmp_path, store):
    """Writes text (str as UTF-8, or bytes) to a file and reads it as a table."""

    def read_text(text):
        path = tmp_path / "in.json"
        store(path, text.encode("utf-8") if isinstance(text, str) else text)
        return kelvra.read_json(str(path))

    return read_text


class TestValues:
    @pytest.mark.parametrize(
        "literal, value",
        [
            ("0", 0),
            ("-17", -17),
            ("9223372036854775807", 9223372036854775807),
            ("-9223372036854775808", -9223372036854775808),
            # Integers beyond 64 bits, and every fraction or exponent, read as doubles.
            ("9223372036854775808", 9223372036854775808.0),
            ("18446744073709551616", 18446744073709551616.0),
            ("-9223372036854775809", -9223372036854775809.0),
            ("123456789012345678901234567890", 1.2345678901234568e29),
            ("1.0", 1.0),
            ("-0.0", -0.0),
            ("1e5", 100000.0),
            ("2.5E-3", 0.0025),
            ("1e-400", 0.0),
            ('"plain"', "plain"),
            ('"tab\\there \\"q\\" \\\\ \\/"', 'tab\there "q" \\ /'),
            ('"\\u00e9\\ud83d\\ude00 é"', "é😀 é"),
            ("true", True),
            ("false", False),
            ("null", None),
        ],
    )
    def test_scalar(self, read, literal, value):
        df = read(f'[{{"v": {literal}}}]')
        assert contents(df) == {"v": [(type(value), value)]}

    @pytest.mark.parametrize(
        "literal, text",
        [
            ("[]", "[]"),
            ("{}", "{}"),
            ('[1, 2.50, 1E3, "x", null, true]', '[1,2.50,1E3,"x",null,true]'),
            ('{ "k" : [ { } ] ,\n "n": {"m": 99999999999999999999999} }',
             '{"k":[{}],"n":{"m":99999999999999999999999}}'),
            # Strings inside are re-escaped in the writer's own way.
            ('["\\u00e9\\u0001\\/", "a\\"b"]', '["é\\u0001/","a\\"b"]'),
            ("[" * 1000 + "]" * 1000, "[" * 1000 + "]" * 1000),
        ],
    )
    def test_nested_value_becomes_compact_text(self, read, literal, text):
        assert read(f'[{{"v": {literal}}}]')["v"] == [text]


class TestKeys:
    def test_missing_keys_and_first_appearance_order(self, read):
        df = read('[{"a": 1}, {"b": "x"}, {"c": true, "a": 3}, {}]')
        assert df.columns() == ["a", "b", "c"]
        assert df.shape() == (4, 3)
        assert [df[n] for n in "abc"] == [
            [1, None, 3, None],
            [None, "x", None, None],
            [None, None, True, None],
        ]

    def test_key_order_changing_between_rows(self, read):
        df = read('[{"a": 1, "b": 2}, {"b": 3, "a": 4}, {"b": 5}, {"a": 6, "b": 7}]')
        assert (df["a"], df["b"]) == ([1, 4, None, 6], [2, 3, 5, 7])

    @pytest.mark.parametrize(
        "text, column",
        [
            ('[{"a": 1, "a": 2}]', [2]),
            ('[{"a": 1, "a": null}]', [None]),
            ('[{"a": null, "a": "s"}, {"a": 1, "b": 0, "a": 2.5}]', ["s", 2.5]),
            ('[{"a": 1, "\\u0061": 2}]', [2]),
        ],
    )
    def test_last_duplicate_wins(self, read, text, column):
        df = read(text)
        assert df["a"] == column
        assert df.shape()[0] == len(column)

    def test_escaped_and_odd_keys(self, read):
        df = read('[{"q\\"k": 1, "b\\\\": 2, "": 3, "é": 4}, {"é": 5, "": 6, "b\\\\": 7, "q\\"k": 8}]')
        assert df.columns() == ['q"k', "b\\", "", "é"]
        assert [df[n] for n in df.columns()] == [[1, 8], [2, 7], [3, 6], [4, 5]]

    def test_many_rows_with_a_late_column(self, read):
        rows = [{"i": i} for i in range(3000)]
        rows[2500]["late"] = "x"
        df = read(json.dumps(rows))
        assert df.shape() == (3000, 2)
        assert df["late"] == [None] * 2500 + ["x"] + [None] * 499


class TestFiles:
    @pytest.mark.parametrize("text", ["", "   \n\t\r\n ", "[]", " [ ] \n", "[{}, {}]"])
    def test_empty_table(self, read, text):
        df = read(text)
        assert (df.shape(), df.columns()) == ((0, 0), [])

    @pytest.mark.parametrize(
        "text, columns",
        [("\ufeff", {}), ("\ufeff \n\t", {}), ('\ufeff[{"a": 1}, {"a": "x"}]', {"a": [1, "x"]})],
    )
    def test_byte_order_mark_skipped(self, read, text, columns):
        df = read(text)
        assert {name: df[name] for name in df.columns()} == columns

    @pytest.mark.parametrize(
        "dump", [dict(), dict(indent=2), dict(indent="\t", ensure_ascii=False), dict(separators=(",", ":"))]
    )
    def test_python_json_module_output(self, tmp_path, dump):
        records = [{"n": 1, "f": 0.5, "s": "é\n\"", "b": False, "z": None}, {"s": "😀", "n": -2}]
        path = tmp_path / "py.json"
        path.write_text(json.dumps(records, **dump), encoding="utf-8")
        df = kelvra.read_json(str(path))
        assert df.columns() == ["n", "f", "s", "b", "z"]
        assert [df[n] for n in df.columns()] == [
            [1, -2], [0.5, None], ['é\n"', "😀"], [False, None], [None, None]
        ]

    @pytest.mark.parametrize("where", ["missing.json", "."])
    def test_cannot_open(self, tmp_path, where):
        path = str(tmp_path / where)
        with pytest.raises(RuntimeError) as info:
            kelvra.read_json(path)
        assert str(info.value) == "Cannot open JSON file: " + path


MALFORMED = [
    # text, line, column (1 and 1 count from the first byte), what the message says
    ('[{"a": 1}, {"a":', 1, 16, "end with the ']'"),
    ('[{"a": 1}] x', 1, 12, "end with the ']'"),
    ('[{"a": 1}]\n[{"a": 2}]', 2, 1, "unexpected content after the top-level array"),
    ('{"a": tru}', 1, 7, "expected true or false"),
    ('{"a": 1} x', 1, 10, "unexpected content after the top-level value"),
    ('{"a": "]}\\"} x"} [', 1, 18, "unexpected content after the top-level value"),
    ('"x', 1, 1, "never closed"),
    ('[{"a": 1} {"a": 2}]', 1, 11, "malformed JSON"),
    ('[{"a": 1},]', 1, 11, "malformed JSON"),
    ('[{"a" 1}]', 1, 7, "malformed JSON"),
    ('[{"a": [1 2]}]', 1, 11, "malformed JSON"),
    ('[{"a": tru}]', 1, 8, "expected true or false"),
    ('[{"a": {"b": nul}}]', 1, 14, "expected null"),
    ('[{"a": 01}]', 1, 8, "invalid number"),
    ('[{"a": 1e999}]', 1, 8, "outside the range of a double"),
    ('[{"a": -}]', 1, 8, "invalid number"),
    ('[\n{"a": "x\\qy"}]', 2, 7, "bad escape"),
    ('[{"k\\q": 1}]', 1, 3, "invalid key"),
    ('[{"a": "abc}]', 1, 8, "never closed"),
    ('[\n{"a": "x\x01"}]', 2, 9, "control character inside a string"),
    (b'[{"a": "\xc3\x28"}]', 1, 9, "invalid UTF-8"),
    (b'[{"a": "ok"}, {"\xed\xa0\x80": 1}]', 1, 17, "invalid UTF-8"),
    ('[{"a": ' + "[" * 2000 + "]" * 2000 + "}]", 1, 1030, "nesting deeper than 1024 levels"),
    ("[" * 100000, 1, 100000, "end with the ']'"),
    ('[{"a": ' + "{" * 5000, 1, 5007, "end with the ']'"),
]


@pytest.mark.parametrize("text, line, column, what", MALFORMED)
def test_malformed_input(tmp_path, store, text, line, column, what):
    path = tmp_path / "bad.json"
    store(path, text.encode("utf-8") if isinstance(text, str) else text)
    with pytest.raises(ValueError) as info:
        kelvra.read_json(str(path))
    message = str(info.value)
    assert message.startswith(f"Invalid JSON in {path} at ")
    assert re.search(rf"\bline {line}, column {column}\b", message), message
    assert what in message


# Well-formed JSON that is not an array of objects: the message says what the file holds, and
# where the first element that is not an object stands.
NOT_ROWS = [
    ('{"nodes": [{"a": 1}]}', "holds a JSON object, not an array of objects"),
    ("  42\n", "holds a JSON number, not an array of objects"),
    ('"text"', "holds a JSON string, not an array of objects"),
    ("true", "holds a JSON boolean, not an array of objects"),
    ("null", "holds JSON null, not an array of objects"),
    ('[{"a": 1},\n  [1]]', "holds a JSON array, not an array of objects: element 1 (counting "
                           "from 0), at line 2, column 3, is an array"),
    ('[{"a": 1}, {}, "row"]', "holds a JSON array, not an array of objects: element 2 (counting "
                             "from 0), at line 1, column 16, is a string"),
]


@pytest.mark.parametrize("text, what", NOT_ROWS)
def test_not_an_array_of_objects(tmp_path, text, what):
    path = tmp_path / "other.json"
    path.write_text(text)
    with pytest.raises(ValueError) as info:
        kelvra.read_json(str(path))
    assert str(info.value) == f"{path} {what}"


# Cells the table holds and JSON carries exactly: doubles only finite, ints within 64 bits.
cell_values = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(),
)


@settings(max_examples=150, deadline=None)
@given(
    st.dictionaries(st.text(), st.lists(cell_values, max_size=6), min_size=1, max_size=5).filter(
        # An array without rows cannot carry column names.
        lambda columns: any(columns.values())
    )
)
def test_round_trip(tmp_path_factory, columns):
    path = tmp_path_factory.mktemp("round") / "t.json"
    df = make_table(columns)
    df.to_json(str(path))
    back = kelvra.read_json(str(path))
    rows = df.shape()[0]
    assert back.shape() == df.shape()
    assert back.columns() == df.columns()
    padded = {name: values + [None] * (rows - len(values)) for name, values in columns.items()}
    assert contents(back) == contents(make_table(padded))
