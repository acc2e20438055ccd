"""The README's Python blocks run as shown, in order, in one namespace (later blocks use the
table the quick start builds), in a folder of their own."""

import ast
import contextlib
import io
import os
import pathlib
import re

import pytest

if os.environ.get("KELVRA_SANITIZE"):
    # The examples import pandas, polars, pyarrow and DuckDB, whose imports leave interpreter
    # objects behind that LeakSanitizer reports as leaks.
    pytest.skip("the README's examples are not run under make sanitize", allow_module_level=True)

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.M | re.S)


def imported_modules(code):
    names = set()
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            names.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            names.add(node.module.split(".")[0])
    return names


def test_readme_has_blocks():
    assert BLOCKS, "README.md holds no ```python block"


def test_readme_blocks_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for name in sorted(set().union(*map(imported_modules, BLOCKS)) - {"kelvra"}):
        pytest.importorskip(name, reason=f"the README's examples use {name}")
    namespace = {"__name__": "__readme__"}
    for i, code in enumerate(BLOCKS):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(code, f"README.md block {i + 1}", "exec"), namespace)
        # The comment after a print(...) is what it prints: each is found, in order, among the
        # lines the block printed (head() prints a table between them).
        printed = iter(out.getvalue().splitlines())
        for line in code.splitlines():
            m = re.match(r"^print\(.*\)\s+#\s*(.+)$", line)
            if m:
                assert m.group(1).strip() in printed, f"{line!r} printed {out.getvalue()!r}"
