"""Checks that every place that states what velmo.fun_hello answers agrees
with the built module: the stub's answer types, the tests' table of answers,
and the documents, whose `>>>` examples run as doctests and whose prose
states an answer as `"..."` when `s == N`, or among the strings of a
`Literal[...]`.

Usage: python check_answers.py SOURCE_DIR, with the built velmo importable.
"""

from __future__ import annotations

import ast
import doctest
import re
import sys
from pathlib import Path

import velmo

# Where the answers are stated, besides the string table of
# module/module_state.h that the module answers from.
STUB = "velmo.pyi"
TABLE = "tests/python/velmo_test_support.py"
DOCUMENTS = ("README.md", "DESCRIPTION.md")
STATED = re.compile(r'`"([^"`]*)"`\s+when\s+`s\s+==\s+(\d+)`')
LITERAL = re.compile(r"Literal\[([^\]]*)\]")


def assigned_constants(source: Path, file: str, names: dict[str, int]) -> list[tuple[str, int, object]]:
    """(place, N, value) of each module-level `name = value` or
    `name: T = Literal[value]` of `names` (name -> N) in the Python file."""
    found: list[tuple[str, int, object]] = []
    for node in ast.parse((source / file).read_text(encoding="utf-8")).body:
        target: ast.expr
        value: ast.expr | None
        if isinstance(node, ast.AnnAssign):
            target, value = node.target, node.value
        elif isinstance(node, ast.Assign):
            target, value = node.targets[0], node.value
        else:
            continue
        if not isinstance(target, ast.Name) or target.id not in names or value is None:
            continue
        if isinstance(value, ast.Subscript):  # Literal[...]
            value = value.slice
        stated = value.value if isinstance(value, ast.Constant) else ast.unparse(value)
        found.append((f"{file}:{node.lineno} ({target.id})", names[target.id], stated))
    missing = set(names.values()) - {n for _, n, _ in found}
    found += [(f"{file} (no {name})", n, None) for name, n in names.items() if n in missing]
    return found


def prose(path: Path, text: str) -> list[tuple[str, int | None, str]]:
    """(place, N or None for any answer, value) of each statement in the prose."""
    def place(match: re.Match[str], what: str = "") -> str:
        return f"{path.name}:{text.count(chr(10), 0, match.start()) + 1}{what}"

    found: list[tuple[str, int | None, str]] = [
        (place(match), int(match[2]), match[1]) for match in STATED.finditer(text)]
    for match in LITERAL.finditer(text):
        found += [(place(match, " (Literal)"), None, value) for value in re.findall(r'"([^"]*)"', match[1])]
    return found


class Collecting(doctest.DocTestRunner):
    """Keeps each failing example as (place, what the document shows, what it gave)."""

    def __init__(self) -> None:
        super().__init__(optionflags=doctest.ELLIPSIS)
        self.failed: list[tuple[str, str, str]] = []

    def report_failure(self, out, test, example, got):  # type: ignore[no-untyped-def]
        self.failed.append((f"{test.filename}:{test.lineno + example.lineno + 1}", example.want.strip(), got.strip()))

    def report_unexpected_exception(self, out, test, example, exc_info):  # type: ignore[no-untyped-def]
        got = f"{exc_info[0].__name__}: {exc_info[1]}"
        self.failed.append((f"{test.filename}:{test.lineno + example.lineno + 1}", example.want.strip(), got))


def run_examples(path: Path, text: str, runner: Collecting) -> None:
    """Runs the `>>>` examples of each fenced block of a Markdown document, the
    blocks one after the other in one namespace, as a reader would type them."""
    globs: dict[str, object] = {}
    block: list[str] | None = None
    start = 0
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("```"):
            if block is None:
                block, start = [], number
                continue
            if any(part.lstrip().startswith(">>>") for part in block):
                test = doctest.DocTestParser().get_doctest("\n".join(block) + "\n", globs, path.name, path.name, start)
                runner.run(test, clear_globs=False)
            block = None
        elif block is not None:
            block.append(line)


def by_place(line: str) -> tuple[str, int]:
    """File, then line, of a reported place ("README.md:62: ...")."""
    match = re.match(r"([^:]*):(\d+)", line)
    return (match[1], int(match[2])) if match else (line, 0)


def main() -> int:
    source = Path(sys.argv[1])
    answers = {n: velmo.fun_hello(n) for n in (1, 2)}
    statements: list[tuple[str, int | None, object]] = []
    statements += assigned_constants(source, STUB, {"_AnswerFor1": 1, "_AnswerFor2": 2})
    statements += assigned_constants(source, TABLE, {"ANSWER_FOR_1": 1, "ANSWER_FOR_2": 2})
    runner = Collecting()
    for name in DOCUMENTS:
        path = source / name
        text = path.read_text(encoding="utf-8")
        statements += prose(path, text)
        run_examples(path, text, runner)
    stale = [f"{place}: says {value!r}" for place, n, value in statements
             if (value not in answers.values() if n is None else value != answers[n])]
    stale += [f"{place}: the example shows {want!r}, and gives {got!r}" for place, want, got in runner.failed]
    if stale:
        stale.sort(key=by_place)
        print(f"The built module answers fun_hello(1) with {answers[1]!r} and fun_hello(2) with {answers[2]!r} "
              "(module/module_state.h, VELMO_STRING_CONSTANTS), but:")
        print("\n".join(f"  {line}" for line in stale))
        print(f"Every place must agree: that string table, {STUB} (_AnswerFor1, _AnswerFor2), {TABLE} "
              f"(ANSWER_FOR_1, ANSWER_FOR_2), and the prose and `>>>` examples of {' and '.join(DOCUMENTS)}.")
        return 1
    print(f"{len(statements)} statements of the answers and {runner.tries} documented examples agree with the module")
    return 0


if __name__ == "__main__":
    sys.exit(main())
