"""The peers' side of the HL7-to-records race.

Each function takes a message text as the file holds it and returns the list
of dicts that `Hl7Json(text).hl7_json` returns, built from the peer's parse
tree. Both peers cut segments at carriage returns only and strip blank lines
at the ends of the message, so the text gets our line-end normalisation
first and the stripped blank lines come back as empty records; everything
else (segments, fields, repetitions, components, positions) is read from the
peer's tree. Values are unescaped by our rules (`reference.unescape`), since
neither peer undoes escape sequences the way tessarin does.
"""

from __future__ import annotations

from .reference import GUARD, field_entries, unescape

_HEADERS = ("MSH", "BHS", "FHS")


def _carriage_returns(text: str) -> tuple[str, int, int]:
    """Text with one carriage return per line end, and the number of blank
    lines at its start and end (which both peers drop)."""
    t = text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\n", "\r")
    return t, len(t) - len(t.lstrip("\r")), len(t) - len(t.rstrip("\r"))


def _blank(count: int) -> list[dict]:
    return [{"segment_name": ""} for _ in range(count)]


# -- python-hl7 ---------------------------------------------------------------


def _text(part) -> str:
    return part if type(part) is str else part.separator.join(map(_text, part))


def _values(rep) -> list[str]:
    """Unescaped components of one repetition. Components are cut again after
    unescaping, because an escaped "^" separates components in our model."""
    if type(rep) is str:
        value = unescape(rep)
        return value.split("^") if "^" in value else [value]
    out = []
    for comp in rep:
        value = unescape(comp if type(comp) is str else comp.separator.join(comp))
        if "^" in value:
            out.extend(value.split("^"))
        else:
            out.append(value)
    return out


def _hl7_segment(seg) -> dict:
    name = _text(seg[0])
    header = name in _HEADERS and len(seg) > 2
    # python-hl7 gives MSH-1 (the field separator) a field of its own and
    # keeps MSH-2 (the encoding characters) as one uncut text.
    fields = seg[2:] if header else seg[1:]
    rec = {}
    for n, field in enumerate(fields, 1):
        if header and n == 1:
            field_entries(n, _text(field), rec)
        elif len(field) > 1:
            raw = "~".join(map(_text, field))
            if GUARD in raw:
                field_entries(n, raw, rec)
                continue
            for r, rep in enumerate(field):
                values = _values(rep)
                if len(values) == 1:
                    rec[f"{n}[{r}]"] = values[0]
                else:
                    for c, value in enumerate(values, 1):
                        rec[f"{n}[{r}].{c}"] = value
        else:
            values = _values(field[0])
            if len(values) == 1:
                rec[str(n)] = values[0]
            else:
                for c, value in enumerate(values, 1):
                    rec[f"{n}.{c}"] = value
    rec["segment_name"] = name
    return rec


def python_hl7(text: str) -> list[dict]:
    import hl7

    t, lead, trail = _carriage_returns(text)
    message = hl7.parse(t)
    return _blank(lead) + [_hl7_segment(seg) for seg in message] + _blank(trail)


# -- hl7apy -------------------------------------------------------------------


def _position(name, previous: int) -> int:
    """Position of a child from its name ("PID_3", "CX_4", "VARIES_2").
    hl7apy drops empty children, so names are what place the others; unnamed
    children (base types, fields past a segment's definition) come in order."""
    if name is not None:
        head, _, tail = name.rpartition("_")
        if head and tail.isdigit():
            return int(tail)
    return previous + 1


def _leaf(sub) -> str:
    value = sub.value
    if value is None:
        return ""
    # Textual leaves keep the parsed text in .value (their to_er7 escapes it
    # again); the others only render through to_er7.
    inner = getattr(value, "value", value)
    return inner if type(inner) is str else value.to_er7()


def _joined(children, sep: str, text) -> str:
    pieces: list[str] = []
    position = 0
    for child in children:
        position = _position(child.name, position)
        if position > len(pieces) + 1:
            pieces.extend([""] * (position - len(pieces) - 1))
        pieces.append(text(child))
    return sep.join(pieces)


def _component(comp) -> str:
    return _joined(comp.children, "&", _leaf)


def _field(field) -> str:
    return _joined(field.children, "^", _component)


def _hl7apy_segment(seg) -> dict:
    rec = {}
    header = seg.name in _HEADERS
    groups: list[tuple[int, list[str]]] = []
    position = 0
    last_name = object()
    # Repetitions are consecutive fields of one name.
    for field in seg.children:
        name = field.name
        if name is not None and name == last_name:
            groups[-1][1].append(_field(field))
            continue
        last_name = name
        position = _position(name, position)
        groups.append((position, [_field(field)]))
    # hl7apy keeps no empty field; the walk restores the gaps below the
    # highest one it names (trailing empty fields are lost for good).
    written = 0
    for position, raws in groups:
        n = position - 1 if header else position
        if n < 1:
            continue
        for gap in range(written + 1, n):
            rec[str(gap)] = ""
        written = max(written, n)
        if len(raws) == 1:
            field_entries(n, raws[0], rec)
            continue
        raw = "~".join(raws)
        if GUARD in raw:
            field_entries(n, raw, rec)
            continue
        for r, piece in enumerate(raws):
            value = unescape(piece)
            if "^" in value:
                for c, comp in enumerate(value.split("^"), 1):
                    rec[f"{n}[{r}].{c}"] = comp
            else:
                rec[f"{n}[{r}]"] = value
    rec["segment_name"] = seg.name
    return rec


def hl7apy(text: str) -> list[dict]:
    from hl7apy.consts import VALIDATION_LEVEL
    from hl7apy.parser import parse_message

    t, lead, trail = _carriage_returns(text)
    message = parse_message(t, validation_level=VALIDATION_LEVEL.TOLERANT, find_groups=False)
    return _blank(lead) + [_hl7apy_segment(seg) for seg in message.children] + _blank(trail)


PEERS = {"python-hl7": python_hl7, "hl7apy": hl7apy}
