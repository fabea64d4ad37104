"""The README's usage examples run, and print what the README says they print."""
import ast
import contextlib
import io
import os
import re
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def section_blocks(title):
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    start = text.index(f"\n## {title}\n")
    end = text.find("\n## ", start + 1)
    return re.findall(r"```python\n(.*?)```", text[start:end], re.S)


def steps(block):
    """(statement source, expected lines) for each top-level statement; the
    expected lines are its trailing comment and the comment lines below it."""
    lines = block.splitlines()
    nodes = ast.parse(block).body
    for i, node in enumerate(nodes):
        last = node.end_lineno
        source = "\n".join(lines[node.lineno - 1:last])
        expected = []
        inline = re.search(r"  # (.*)$", lines[last - 1])
        if inline and not isinstance(node, ast.Assign):
            expected.append(inline[1])
            source = source[:source.rindex("  # ")]
        stop = nodes[i + 1].lineno - 1 if i + 1 < len(nodes) else len(lines)
        expected += [line[2:] for line in lines[last:stop] if line.startswith("# ")]
        yield source.rstrip(), expected


def check(source, expected, namespace):
    shown = [e for e in expected if not e.startswith(("(", "log:"))]
    error = re.match(r"(\w+Error): (.*)", shown[0]) if shown else None
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        if error:
            with pytest.raises(Exception) as info:
                exec(source, namespace)
            assert (type(info.value).__name__, str(info.value)) == (error[1], error[2]), source
            return
        tree = ast.parse(source)
        if isinstance(tree.body[-1], ast.Expr):
            value = eval(compile(ast.Expression(tree.body[-1].value), "<readme>", "eval"), namespace)
        else:
            value = exec(source, namespace)
        # a call that returns nothing is shown by what it prints
        printed = out.getvalue().splitlines() if value is None else [repr(value)]
    cut = [e.strip() for e in shown].index("...") if "..." in map(str.strip, shown) else None
    if cut is not None:  # the README shows the head of the output only
        shown, printed = shown[:cut], printed[:cut]
    if shown:
        assert printed == shown, source


def test_trend_kit_examples():
    namespace = {}
    ran = 0
    for block in section_blocks("Using `orveksdk.trend_kit`"):
        for source, expected in steps(block):
            check(source, expected, namespace)
            ran += bool(expected)
    assert ran >= 6


def test_tablescope_example(db, project_module, tmp_path, monkeypatch):
    demo = project_module(os.path.join("scripts", "demo.py"), "demo")
    [block] = section_blocks("Using `orveksdk.tablescope`")
    password, host = re.search(r'MySQLDatabaseTableScope\("analyst", "([^"]+)", "([^"]+)"', block).groups()
    db.server.execute("DROP DATABASE IF EXISTS sales", "DROP USER IF EXISTS analyst")
    demo.load_sample_database(db.server, password)
    monkeypatch.chdir(tmp_path)
    block = block.replace(host, db.host)
    namespace = {}
    ran = 0
    for source, expected in steps(block):
        check(source, [e.replace(host, db.host) for e in expected], namespace)
        ran += bool(expected)
    assert ran >= 4 and (tmp_path / "db_cache.pkl").is_file()
