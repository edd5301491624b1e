"""Fields as python-hl7 reads them from a message's text, and as the records
give them back once unescaped: what every field accessor must answer."""

from __future__ import annotations

import re

import hl7  # python-hl7, an independent reader

HEADERS = ("MSH", "FHS", "BHS")

# A sequence is a backslash, one character other than a backslash, the
# letters and digits (any script's) after it, and the closing backslash when there is one:
# \.br\ and \&\ are sequences too.
_SEQUENCE = re.compile(r"\\([^\\][^\W_]*)?(?:\\)?")
_KNOWN = {
    "F": "|",
    "S": "^",
    "R": "~",
    "E": "\\",
    "": "\\",
    "T": "&",
    "X0A": "\n",
    "X0D": "\r",
    "X0D0A": "\r\n",
    "X20": " ",
    "X09": "\t",
}


def unescaped(text: str) -> str:
    """Known sequences become their character, closed or not; any other
    keeps its backslash and body and loses its closing backslash."""

    def one(match: re.Match[str]) -> str:
        body = match.group(1) or ""
        return _KNOWN.get(body, "\\" + body)

    return _SEQUENCE.sub(one, text)


def unescaped_field(text: str) -> str:
    """Each repetition unescaped on its own, as the converter cuts them first;
    a field holding ^~\\& is not cut into repetitions."""
    if "^~\\&" in text:
        return unescaped(text)
    return "~".join(unescaped(repetition) for repetition in text.split("~"))


def lines(text: str) -> list[str]:
    """The message's lines, cut at its line ends as the converter cuts them."""
    return text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n").split("\n")


def fields(line: str) -> list[str]:
    """Fields 1, 2, ... of one line as python-hl7 reads them; MSH-1 is '|'."""
    if line == "":
        return []
    # Read after a plain header, so that python-hl7 splits by the default
    # separators whatever the line declares; a closing segment keeps its
    # strip() off the line's own end.
    if line.split("|", 1)[0] in HEADERS:
        # python-hl7 finds MSH-2 only before a further separator and drops an
        # empty last field after it: read the line with one more field, then
        # leave that out.
        segment = hl7.parse("MSH|^~\\&|\r" + line + "|Z\rZZZ")[1]
        return [str(field) for field in segment[1:-1]]
    segment = hl7.parse("MSH|^~\\&|\r" + line + "\rZZZ")[1]
    return [str(field) for field in segment[1:]]


def expected_fields(text: str, escaping: bool) -> list[list[str]]:
    """Per line, its fields as written; unescaped (all but a header's
    separator) when the records were made with escaping on."""
    found = []
    for line in lines(text):
        row = fields(line)
        if escaping:
            header = line.split("|", 1)[0] in HEADERS
            row = [value if header and n == 0 else unescaped_field(value) for n, value in enumerate(row)]
        found.append(row)
    return found


def obx_results(rows) -> list[tuple[str, str | None, str | None, str | None]]:
    """(patient, OBX-3, OBX-5, OBX-6) for every OBX of every converted row
    (a tessarin_feeds Converted) with each non-empty patient of its message:
    PID-3's first component of its first repetition; the OBX fields whole,
    as written and unescaped, None where the line stops before them."""
    results = []
    for row in rows:
        if row.records is None:
            continue
        segments = [[line.split("|", 1)[0], *fields(line)] for line in lines(row.message.text)]
        patients = []
        for segment in (s for s in segments if s[0] == "PID" and len(s) > 3):
            repetitions = [segment[3]] if "^~\\&" in segment[3] else segment[3].split("~")
            patients.append(unescaped(repetitions[0]).split("^")[0])
        for obx in (s for s in segments if s[0] == "OBX"):
            found = [unescaped_field(obx[n]) if len(obx) > n else None for n in (3, 5, 6)]
            results.extend((patient, *found) for patient in patients if patient)
    return results
