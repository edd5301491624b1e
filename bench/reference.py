"""The plain-Python model of the converter's rules, in one place.

The test suite uses it as its oracle (written from the rules, not from the
C++ code): line-end normalisation, escape and unescape, segment parsing and
rendering, and assembly from segment records with the index bound and the
segment-name check. The benchmark races tessarin's JsonHl7 against
`assemble`, and its peer walks use `unescape` and `field_entries` so that
python-hl7 and hl7apy trees turn into exactly the records tessarin returns.
Nothing here is tuned beyond the obvious (a fast path when a value holds no
escape character, a per-call cache of parsed keys).
"""

from __future__ import annotations

ESC = "\\"
GUARD = "^~\\&"  # the encoding characters of an MSH line: a field holding them is not cut
MAX_INDEX = 65535  # highest field, repetition or component number written
_MAX_NUMBER = 2**64 - 1  # a larger number in a key is not an index

ESCAPE_SEQUENCES = {
    "F": "|",
    "S": "^",
    "R": "~",
    "E": "\\",
    "T": "&",
    "X0A": "\n",
    "X0D": "\r",
    "X0D0A": "\r\n",
    "X20": " ",
    "X09": "\t",
}

_ESCAPE_TABLE = str.maketrans(
    {
        "|": "\\F\\",
        "^": "\\S\\",
        "~": "\\R\\",
        "&": "\\T\\",
        "\\": "\\\\",
        "\t": "\\X09\\",
        "\n": "\\X0A\\",
        "\r": "\\X0D\\",
        " ": "\\X20\\",
    }
)

# Python's str.isalnum() misses the characters that are Alphabetic only through
# Other_Alphabetic (combining vowel signs, circled letters, ...). The property
# tests draw from a fixed alphabet; these are the ones of it that need help.
OTHER_ALPHABETIC = frozenset("\u093e\u0345\u24b6")


def is_alnum(c: str) -> bool:
    return c.isalnum() or c in OTHER_ALPHABETIC


def replace_eof(text: str) -> str:
    return text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n")


def byte_key(key: str) -> bytes:
    """Sort key of record keys: their UTF-8 bytes."""
    return key.encode("utf-8")


def byte_sorted(record: dict) -> dict:
    return dict(sorted(record.items(), key=lambda kv: byte_key(kv[0])))


def escape(text: str) -> str:
    return text.translate(_ESCAPE_TABLE)


def unescape(text: str) -> str:
    if ESC not in text:
        return text
    out = []
    i = 0
    n = len(text)
    while i < n:
        j = text.find(ESC, i)
        if j < 0:
            out.append(text[i:])
            break
        out.append(text[i:j])
        if j + 1 == n:
            out.append(ESC)
            break
        if text[j + 1] == ESC:
            out.append(ESC)
            i = j + 2
            continue
        # The first character after the escape character always opens the
        # body; alphanumerics extend it.
        k = j + 2
        while k < n and is_alnum(text[k]):
            k += 1
        body = text[j + 1 : k]
        out.append(ESCAPE_SEQUENCES.get(body) or ESC + body)
        if k == n:
            break
        if text[k] != ESC:
            out.append(text[k])
        i = k + 1
    return "".join(out)


def field_entries(n: int, raw: str, rec: dict, escaping: bool = True) -> None:
    """Put the entries of field `n` (its raw text) into `rec`."""
    if "~" in raw and GUARD not in raw:
        for r, piece in enumerate(raw.split("~")):
            value = unescape(piece) if escaping else piece
            if "^" in value:
                for c, comp in enumerate(value.split("^"), 1):
                    rec[f"{n}[{r}].{c}"] = comp
            else:
                rec[f"{n}[{r}]"] = value
        return
    # With escaping, components are cut in the unescaped text, guard or not.
    value = unescape(raw) if escaping else raw
    if "^" in value and (escaping or GUARD not in raw):
        for c, comp in enumerate(value.split("^"), 1):
            rec[f"{n}.{c}"] = comp
    else:
        rec[str(n)] = value


def split_segment(line: str, escaping: bool = False) -> dict:
    """The segment record of one line, keys in byte-wise order."""
    pieces = line.split("|")
    rec = {}
    for n, raw in enumerate(pieces[1:], 1):
        field_entries(n, raw, rec, escaping)
    rec["segment_name"] = pieces[0]
    return byte_sorted(rec)


def records(text: str, escaping: bool = True) -> list[dict]:
    """Hl7Json(text, escaping_enabled=escaping).hl7_json, in plain Python."""
    return [split_segment(line, escaping) for line in replace_eof(text).split("\n")]


# -- assembly ---------------------------------------------------------------


def parse_index(piece: str):
    digits = piece[1:] if piece.startswith("+") else piece
    if not digits or not digits.isascii() or not digits.isdigit():
        return None
    value = int(digits)
    return value if value <= _MAX_NUMBER else None


def place_of_key(key: str):
    """(field, repetition, component) named by `key`, or None to skip it."""
    if key == "segment_name":
        return None
    n = parse_index(key)
    if n is not None:
        return n, 0, 0
    if "[" in key and "]" in key:
        left = key.index("[")
        right = key.index("]")
        if right < left:
            return None
        n = parse_index(key[:left])
        r = parse_index(key[left + 1 : right])
        if n is None or r is None:
            return None
        if right + 1 == len(key) or key[right + 1] != ".":
            return n, r, 0
        c = parse_index(key[right + 2 :])
        return None if c is None else (n, r, c)
    if "." in key:
        parts = key.split(".")
        if len(parts) != 2:
            return None
        n = parse_index(parts[0])
        c = parse_index(parts[1])
        return None if n is None or c is None else (n, 0, c)
    return None


class ModelEncodingError(Exception):
    """What JsonHl7 raises as a plain Exception with the same text."""


def _encoding_error(detail: str) -> Exception:
    return ModelEncodingError("HL7 encoding error: " + detail)


def assemble(records: list[dict], escaped: bool = True) -> str:
    """JsonHl7(records).hl7_string (or hl7_string_unescaped)."""
    places: dict[str, tuple | None] = {}
    lines = []
    for rec in records:
        tree: dict[int, dict[int, dict[int, str]]] = {}
        for key in sorted(rec, key=str.encode):
            try:
                place = places[key]
            except KeyError:
                place = places[key] = place_of_key(key)
            if place is None:
                continue
            for index in place:
                if index > MAX_INDEX:
                    raise _encoding_error(f"index {index} in key '{key}' exceeds the limit of {MAX_INDEX}")
            n, r, c = place
            value = rec[key]
            tree.setdefault(n, {}).setdefault(r, {})[c] = escape(value) if escaped else value
        parts = []
        if "segment_name" in rec:
            name = rec["segment_name"]
            # Escaped text must not gain fields or segments through the name.
            if escaped and any(ch in name for ch in "|\r\n"):
                raise _encoding_error(f"segment name '{name}' contains a separator or line break")
            parts.append(name)
        top = max(tree, default=0)
        for n in range(1, top + 1):
            reps = tree.get(n)
            if reps is None:
                parts.append("")
                continue
            texts = []
            for r in range(max(reps) + 1):
                comps = reps.get(r)
                if comps is None:
                    texts.append("")
                    continue
                high = max(comps)
                if high >= 1:
                    texts.append("^".join([comps.get(c, "") for c in range(1, high + 1)]))
                else:
                    texts.append(comps[0])
            parts.append("~".join(texts))
        lines.append("|".join(parts))
    return "\n".join(lines)
