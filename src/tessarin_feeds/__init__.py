"""Whole HL7 v2 feeds: files of many messages, in any framing and character
set, converted to JSON Lines and Parquet with tessarin."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .model import Message, Notice
    from .reader import read_messages

__all__ = ["Message", "Notice", "read_messages"]


def __getattr__(name: str) -> Any:
    # Imported on first use: the command installs its stop-signal handlers
    # before anything heavy is imported.
    if name in ("Message", "Notice"):
        from . import model

        return getattr(model, name)
    if name == "read_messages":
        from .reader import read_messages

        return read_messages
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
