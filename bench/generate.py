"""Deterministic ORU^R01 messages with a chosen number of OBX segments.

The same count always gives the same text, so runs on different days compare.
Every segment ends in a non-empty field and no component is left empty at the
end of its field: hl7apy drops trailing empties, and the peers' records could
then not match ours.

    python bench/generate.py 1000 > oru_1000.hl7
"""

from __future__ import annotations

import sys

SIZES = (10, 100, 1_000, 10_000, 100_000)

_HEADER = (
    "MSH|^~\\&|LABSYS^2.16.840.1.113883.19.4^ISO|MAINLAB|EHR|GENHOSP|20240105083000"
    "||ORU^R01^ORU_R01|MSG{n:08d}|P|2.5.1|||AL|NE",
    "PID|1||123456^^^GENHOSP^MR~987-65-4320^^^SSA^SS||DOE^JOHN^Q^JR^^^L~DOE^JACK^^^^^A"
    "||19800101|M|||123 MAIN ST\\T\\APT 4^^SPRINGFIELD^IL^62701^USA^H||(555)555-1234^PRN^PH",
    "ORC|RE|ORD{n:06d}^EHR|FIL{n:06d}^LAB||CM||||20240105080000|||1234^SMITH^JOHN^^^DR",
    "OBR|1|ORD{n:06d}^EHR|FIL{n:06d}^LAB|24331-1^Lipid panel with direct LDL^LN|||20240105080000"
    "|||||||||1234^SMITH^JOHN^^^DR||||||20240105083000|||F",
)

# (value type, code, name, value, units, reference range, flag)
_TESTS = (
    ("NM", "2345-7", "Glucose [Mass/volume] in Serum or Plasma", "95", "mg/dL", "70-105", "N"),
    ("NM", "2093-3", "Cholesterol [Mass/volume] in Serum or Plasma", "212", "mg/dL", "<200", "H"),
    ("NM", "718-7", "Hemoglobin [Mass/volume] in Blood", "13.9", "g/dL", "13.5-17.5", "N"),
    ("ST", "5778-6", "Color of Urine", "Straw \\T\\ clear", "", "", "N"),
    ("NM", "4548-4", "Hemoglobin A1c/Hemoglobin.total in Blood", "6.1", "%", "4.0-5.6", "H"),
    ("TX", "8251-1", "Service comment", "Specimen received\\X0D\\\\X0A\\Hemolysed \\F\\ repeat advised", "", "", "A"),
    ("ST", "11529-5", "Surgical pathology study", "Margins clear\\.br\\See report", "", "", "N"),
    ("NM", "2951-2", "Sodium [Moles/volume] in Serum or Plasma", "141", "mmol/L", "136-145", "N"),
    ("CE", "600-7", "Bacteria identified in Blood by Culture", "112283007^E. coli^SCT", "", "", "A"),
    ("ST", "33914-3", "Glomerular filtration rate", "&gt;60 \\S\\ normal", "mL/min/{1.73_m2}", ">60", "N"),
)

_OBSERVERS = (
    "1234567^SMITH^JOHN^A^^^DR^^NPI&2.16.840.1.113883.4.6&ISO",
    "7654321^JONES^MARY^^^^DR^^NPI&2.16.840.1.113883.4.6&ISO",
    "5550001^NGUYEN^LINH^T^^^DR^^NPI&2.16.840.1.113883.4.6&ISO",
)


def _obx(i: int) -> str:
    vtype, code, name, value, units, rng, flag = _TESTS[i % len(_TESTS)]
    minute = i % 60
    obs1 = _OBSERVERS[i % len(_OBSERVERS)]
    obs2 = _OBSERVERS[(i + 1) % len(_OBSERVERS)]
    units_field = f"{units}^{units}^UCUM" if units else ""
    # Every third result carries two observers and two instruments: repetitions.
    observers = f"{obs1}~{obs2}" if i % 3 == 0 else obs1
    equipment = f"ANALYZER{i % 7}^LAB~BACKUP{i % 5}^LAB" if i % 3 == 0 else f"ANALYZER{i % 7}^LAB"
    return (
        f"OBX|{i + 1}|{vtype}|{code}^{name}^LN|{i % 4 + 1}|{value}|{units_field}|{rng}|{flag}"
        f"|||F|||202401050{8 + minute // 30}{minute:02d}00|MAINLAB^Main Laboratory^CLIA"
        f"|{observers}||{equipment}|20240105{9 + i % 3:02d}{minute:02d}00"
    )


def oru_r01(n_obx: int) -> str:
    """Return the message text, segments separated by carriage returns and no
    terminator after the last one (so it also passes validate(True, True))."""
    lines = [h.format(n=n_obx) for h in _HEADER]
    lines.extend(_obx(i) for i in range(n_obx))
    return "\r".join(lines)


def main(argv: list[str]) -> int:
    if len(argv) != 2 or not argv[1].isdigit():
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    sys.stdout.write(oru_r01(int(argv[1])))
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
