"""Plain-Python versions of the rules the benchmark races against.

`assemble` is the straightforward assembler that tessarin's JsonHl7 is
compared with; `unescape` and `field_entries` are shared by the peer walks so
that python-hl7 and hl7apy trees turn into exactly the records tessarin
returns. Nothing here is tuned beyond the obvious (a fast path when a value
holds no escape character, a per-call cache of parsed keys).
"""

from __future__ import annotations

ESC = "\\"
GUARD = "^~\\&"
_MAX_INDEX = 2**64 - 1
MAX_PLACE = 65535  # highest field, repetition or component number written

_SEQUENCES = {
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
        while k < n and text[k].isalnum():
            k += 1
        body = text[j + 1 : k]
        out.append(_SEQUENCES.get(body) or ESC + body)
        if k == n:
            break
        if text[k] != ESC:
            out.append(text[k])
        i = k + 1
    return "".join(out)


def field_entries(n: int, raw: str, rec: dict) -> None:
    """Put the entries of field `n` (its raw text) into `rec`, escaping on."""
    if "~" in raw and GUARD not in raw:
        for r, piece in enumerate(raw.split("~")):
            value = unescape(piece)
            if "^" in value:
                for c, comp in enumerate(value.split("^"), 1):
                    rec[f"{n}[{r}].{c}"] = comp
            else:
                rec[f"{n}[{r}]"] = value
        return
    value = unescape(raw)
    if "^" in value:
        for c, comp in enumerate(value.split("^"), 1):
            rec[f"{n}.{c}"] = comp
    else:
        rec[str(n)] = value


def records(text: str) -> list[dict]:
    """Hl7Json(text).hl7_json with default options, in plain Python."""
    text = text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n")
    out = []
    for line in text.split("\n"):
        pieces = line.split("|")
        rec = {}
        for n, raw in enumerate(pieces[1:], 1):
            field_entries(n, raw, rec)
        rec["segment_name"] = pieces[0]
        out.append(dict(sorted(rec.items(), key=lambda kv: kv[0].encode())))
    return out


# -- assembly ---------------------------------------------------------------


def _index(piece: str):
    digits = piece[1:] if piece.startswith("+") else piece
    if not digits or not digits.isascii() or not digits.isdigit():
        return None
    value = int(digits)
    return value if value <= _MAX_INDEX else None


def _place(key: str):
    """(field, repetition, component) named by `key`, or None to skip it."""
    if key == "segment_name":
        return None
    n = _index(key)
    if n is not None:
        return n, 0, 0
    if "[" in key and "]" in key:
        left = key.index("[")
        right = key.index("]")
        if right < left:
            return None
        n = _index(key[:left])
        r = _index(key[left + 1 : right])
        if n is None or r is None:
            return None
        if right + 1 == len(key) or key[right + 1] != ".":
            return n, r, 0
        c = _index(key[right + 2 :])
        return None if c is None else (n, r, c)
    if "." in key:
        parts = key.split(".")
        if len(parts) != 2:
            return None
        n = _index(parts[0])
        c = _index(parts[1])
        return None if n is None or c is None else (n, 0, c)
    return None


def _encoding_error(detail: str) -> Exception:
    return Exception("HL7 encoding error: " + detail)


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
                place = places[key] = _place(key)
            if place is None:
                continue
            for index in place:
                if index > MAX_PLACE:
                    raise _encoding_error(f"index {index} in key '{key}' exceeds the limit of {MAX_PLACE}")
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
