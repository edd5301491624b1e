"""Whole HL7 v2 feeds: files of many messages, in any framing and character
set, converted to JSON Lines and Parquet with tessarin."""

from .model import Message, Notice
from .reader import read_messages

__all__ = ["Message", "Notice", "read_messages"]
