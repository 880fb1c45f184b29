"""The house rules of src/core, checked on the source: includes point down the layer table of
docs/architecture.md, lines stay within 100 columns, functions within 40 lines."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CORE = ROOT / "src" / "core"
SOURCES = sorted(CORE.glob("*.[ch]pp"))


def layers() -> dict[str, int]:
    table = (ROOT / "docs" / "architecture.md").read_text()
    rows = re.findall(r"^\| (\d+) \| ([a-z_, ]+) \|$", table, re.M)
    return {unit.strip(): int(layer) for layer, units in rows for unit in units.split(",")}


def code_only(text: str) -> str:
    """The source with comments and string literals (raw ones too) blanked, lines kept."""
    token = re.compile(r'//[^\n]*|/\*.*?\*/|R"([^(\s]*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"'
                       r"|'(?:\\.|[^'\\\n])*'", re.S)
    return token.sub(lambda m: "\n" * m.group(0).count("\n") + '""', text)


def long_functions(text: str) -> list[int]:
    """First lines of the outermost function bodies that span more than 40 lines."""
    code, found, stack = code_only(text), [], []
    for m in re.finditer(r"[{}]", code):
        line = code.count("\n", 0, m.start()) + 1
        if m.group() == "{":
            head = re.sub(r"\s*(const|noexcept|override|->\s*[\w:<>*& ]+)\s*$", "",
                          code[:m.start()].rstrip())
            last = head.rsplit("\n", 1)[-1]
            is_function = head.endswith(")") and not re.search(
                r"\b(if|for|while|switch|catch)\b|\]\s*\([^()]*\)$", last)
            stack.append((is_function, line))
        else:
            is_function, start = stack.pop()
            if is_function and not any(f for f, _ in stack) and line - start + 1 > 40:
                found.append(start)
    return found


def test_the_table_names_every_unit():
    units = {p.stem for p in SOURCES}
    assert units == set(layers())


@pytest.mark.parametrize("source", SOURCES, ids=lambda p: p.name)
def test_house_rules(source):
    layer = layers()
    text = source.read_text()
    included = re.findall(r'^#include "([a-z_]+)\.hpp"', text, re.M)
    upward = [u for u in included if u != source.stem and layer[u] >= layer[source.stem]]
    assert not upward, f"includes at or above layer {layer[source.stem]}: {upward}"
    wide = [n for n, line in enumerate(text.split("\n"), 1) if len(line) > 100]
    assert not wide, f"lines over 100 columns: {wide}"
    assert not long_functions(text), f"functions over 40 lines start at {long_functions(text)}"
