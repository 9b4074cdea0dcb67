"""The public Positions class as help() and a type checker see it matches the reviewed surface.

The class is Python over the compiled PositionsCore; the stub generated for the compiled module covers
the core, tests/stubs/positions_account.pyi the methods the Python class declares (signature and help text).
"""

from __future__ import annotations

import inspect

from repo_paths import TESTS

from vorn_kest_backtest.modules.positions.positions import Positions

REFERENCE = TESTS / "stubs" / "positions_account.pyi"


def _parameter(p: inspect.Parameter) -> str:
    text = ("*" if p.kind is p.VAR_POSITIONAL else "") + p.name
    if p.annotation is not p.empty:
        text += f": {p.annotation}"
    if p.default is not p.empty:
        text += f" = {p.default!r}"
    return text


def _doc_lines(doc: str | None) -> list[str]:
    if not doc:
        return []
    if "\n" not in doc:
        return [f'        """{doc}"""']
    return ['        """', *(f"        {line}".rstrip() for line in doc.splitlines()), '        """']


def render(cls: type) -> str:
    lines = [f"class {cls.__name__}:", f'    """{cls.__doc__}"""', ""]
    for name, member in vars(cls).items():
        if name.startswith("_") and name != "__init__":
            continue
        head = ["    @property"] if isinstance(member, property) else []
        function = member.fget if isinstance(member, property) else member
        if not callable(function):
            continue
        signature = inspect.signature(function)
        parameters = ", ".join(_parameter(p) for p in signature.parameters.values())
        doc = _doc_lines(function.__doc__ and inspect.cleandoc(function.__doc__))  # its own, not inherited
        lines += [*head, f"    def {name}({parameters}) -> {signature.return_annotation}:{'' if doc else ' ...'}",
                  *doc, ""]
    return "\n".join(lines)


def test_the_public_class_matches_the_reviewed_surface():
    assert render(Positions) == REFERENCE.read_text(encoding="utf-8"), (
        "the surface of Positions changed: review it and write render(Positions) to " + REFERENCE.name)


def test_the_name_mangled_helpers_keep_their_help():
    for name in ("_Positions__calculate_profit", "_Positions__generate_save_path", "_Positions__make_trade_record"):
        assert inspect.getdoc(getattr(Positions, name))
