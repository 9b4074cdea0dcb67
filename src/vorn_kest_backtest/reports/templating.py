"""Template environment over the package "templates" folder (autoescape for HTML)."""

from __future__ import annotations

import json
import os
from pathlib import Path

from jinja2 import Environment, FileSystemLoader, select_autoescape

TEMPLATES_DIR = Path(__file__).resolve().parent.parent / "templates"


def script_safe(json_text: str) -> str:
    """JSON text made safe to place inside a <script> element (no "</script>" break-out)."""
    return json_text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def to_script_json(value) -> str:
    return script_safe(json.dumps(value, ensure_ascii=False, default=str))


def _number(value, digits: int = 2) -> str:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return str(value)
    if isinstance(value, int):
        return f"{value:,}"
    return f"{value:,.{digits}f}"


def _build_environment() -> Environment:
    env = Environment(loader=FileSystemLoader(str(TEMPLATES_DIR)), autoescape=select_autoescape(["html", "htm"]))
    env.filters["basename"] = os.path.basename
    env.filters["num"] = _number
    return env


template_env = _build_environment()
