"""Character sets of HL7 v2 messages: names (HL7 table 0211 and the usual
Windows and Python names) and the decoding of one message's bytes."""

from __future__ import annotations

import codecs
import re

# HL7 table 0211 names, upper case, to the Python codecs that read them.
# "8859/1" files in the wild often hold Windows-1252 bytes (curly quotes in
# 0x80-0x9F, which Latin-1 would turn into control characters), so it is read
# as Windows-1252 first and as exact Latin-1 when a byte is undefined there.
HL7_CHARSETS: dict[str, tuple[str, ...]] = {
    "ASCII": ("ascii",),
    "8859/1": ("cp1252", "latin-1"),
    "8859/2": ("iso8859-2",),
    "8859/3": ("iso8859-3",),
    "8859/4": ("iso8859-4",),
    "8859/5": ("iso8859-5",),
    "8859/6": ("iso8859-6",),
    "8859/7": ("iso8859-7",),
    "8859/8": ("iso8859-8",),
    "8859/9": ("iso8859-9",),
    "8859/15": ("iso8859-15",),
    "UNICODE UTF-8": ("utf-8",),
    "UNICODE": ("utf-8",),
    "ISO IR87": ("iso2022-jp",),
    "ISO IR159": ("iso2022-jp-1",),
    "GB 18030-2000": ("gb18030",),
    "KS X 1001": ("euc-kr",),
    "BIG-5": ("big5",),
}

_WINDOWS_NAME = re.compile(r"(?:WINDOWS|WIN|CP|MS)[-_ ]?(\d{3,4})")
_PROBE = "MSH|^~\\&\r\n"


def codecs_for(name: str) -> tuple[str, ...] | None:
    """The Python codecs, tried in order, that read charset `name`; None when unknown.

    Accepts HL7 table 0211 names, Windows code pages as usually written
    ("windows-1252", "CP1252", "WIN1252") and any Python codec name.
    Codecs that do not write ASCII as ASCII are refused: messages are found
    by their ASCII bytes before they are decoded.
    """
    key = " ".join(name.split()).upper()
    if not key:
        return None
    if key in HL7_CHARSETS:
        return HL7_CHARSETS[key]
    windows = _WINDOWS_NAME.fullmatch(key)
    candidate = f"cp{windows.group(1)}" if windows else key.lower()
    try:
        codec = codecs.lookup(candidate)
    except (LookupError, ValueError):  # ValueError: a NUL in the name
        return None
    if not _is_ascii_compatible(codec.name):
        return None
    return (codec.name,)


def _is_ascii_compatible(codec_name: str) -> bool:
    try:
        return _PROBE.encode(codec_name) == _PROBE.encode("ascii")
    except (UnicodeError, LookupError):
        return False


def declared_charset(raw: bytes) -> str:
    """MSH-18 as written (its first repetition, trimmed); "" when absent."""
    end = len(raw)
    for line_end in (b"\r", b"\n"):
        found = raw.find(line_end, 0, end)
        if found >= 0:
            end = found
    fields = raw[:end].split(b"|")
    if len(fields) < 18:
        return ""
    return fields[17].split(b"~")[0].strip().decode("latin-1")


class Undecodable(Exception):
    """Bytes that the chosen charset cannot read."""

    def __init__(self, position: int, byte: int, why: str) -> None:
        super().__init__(f"byte 0x{byte:02x} at {position} is not valid {why}")
        self.position = position  # of the first bad byte, in the message's bytes
        self.byte = byte
        self.why = why  # which charset was tried, and where it was named


def decode_forced(raw: bytes, charset: str, codec_names: tuple[str, ...], errors: str) -> str:
    """Decode with a charset the caller chose; raises Undecodable."""
    return _decode(raw, codec_names, errors, f"{charset} (the forced encoding)")


def decode_declared(raw: bytes, errors: str) -> str:
    """Decode a message that is not valid UTF-8 by the charset its MSH-18 declares.

    Raises Undecodable when MSH-18 declares nothing usable or the bytes are
    not valid in the declared charset (unless `errors` is "replace").
    """
    declared = declared_charset(raw)
    codec_names = codecs_for(declared) if declared else None
    if codec_names is None:
        if declared:
            why = f"UTF-8, and MSH-18 names an unknown character set {declared!r}"
        else:
            why = "UTF-8, and MSH-18 declares no character set"
        return _decode(raw, ("utf-8",), errors, why)
    return _decode(raw, codec_names, errors, f"{declared} (declared in MSH-18)")


def _decode(raw: bytes, codec_names: tuple[str, ...], errors: str, why: str) -> str:
    # Keeps the position, not the exception: an exception held in a local
    # makes a reference cycle through its traceback that holds the caller's
    # buffers until the cyclic garbage collector happens to run.
    first_bad: int | None = None
    for codec_name in codec_names:
        try:
            return raw.decode(codec_name)
        except UnicodeDecodeError as error:
            if first_bad is None:
                first_bad = error.start
    if errors == "replace":
        return raw.decode(codec_names[0], "replace")
    assert first_bad is not None
    raise Undecodable(first_bad, raw[first_bad], why)
