"""The argument errors of the account's methods, worded as its typed methods have always worded them.

A method declares its parameters with a plain ``def``. ``argument_errors`` rewords the TypeError
Python raises when a call does not fit them ("f() takes exactly 1 positional argument (0 given)"),
and ``argument_type`` makes the error for a value that is not of the declared built-in type.
"""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable
from typing import Any, TypeVar

Method = TypeVar("Method", bound=Callable[..., Any])

_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE


def type_name(kind: type) -> str:
    # The C-level tp_name: a static type outside builtins is named with its module.
    if kind.__flags__ & _HEAP_TYPE or kind.__module__ == "builtins":
        return kind.__name__
    return f"{kind.__module__}.{kind.__name__}"


def argument_type(name: str, expected: str, value: object) -> TypeError:
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type_name(type(value))})")


def _count_message(fn: str, least: int, most: int, given: int) -> str:
    expected = least if given < least else most
    bound = "exactly" if least == most else ("at least" if given < least else "at most")
    return f"{fn}() takes {bound} {expected} positional argument{'' if expected == 1 else 's'} ({given} given)"


def _binding_message(fn: str, names: tuple[str, ...], required: int, open_ended: bool,
                     args: tuple, kwargs: dict) -> str | None:
    # Checked in the order the typed methods check: the positional count, each keyword, then the
    # first required parameter left unbound.
    if len(args) > len(names) and not open_ended:
        return _count_message(fn, required, len(names), len(args))
    bound = set(names[:len(args)])
    for key in kwargs:
        if key not in names:
            return f"{fn}() got an unexpected keyword argument '{key}'"
        if key in bound:
            return f"{fn}() got multiple values for keyword argument '{key}'"
        bound.add(key)
    for index, name in enumerate(names[:required]):
        if name not in bound:
            return _count_message(fn, required, len(names), index)
    return None


def argument_errors(method: Method) -> Method:
    """Rewords the TypeError of a call that does not fit the method's parameters (after self)."""
    parameters = list(inspect.signature(method).parameters.values())[1:]
    names = tuple(p.name for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD)
    required = sum(1 for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty)
    open_ended = any(p.kind is p.VAR_POSITIONAL for p in parameters)
    fn = method.__name__

    # The instance travels in args with the rest: forwarding one tuple is the cheapest call.
    @functools.wraps(method)
    def call(*args, **kwargs):
        try:
            return method(*args, **kwargs)
        except TypeError as error:
            # Raised while binding the arguments: the method's own frame never ran.
            if error.__traceback__ is None or error.__traceback__.tb_next is not None:
                raise
            message = _binding_message(fn, names, required, open_ended, args[1:], kwargs)
            if message is None:
                raise
            raise TypeError(message) from None

    return call  # type: ignore[return-value]
