"""Counts gathered while a feed is read, and the summary printed at the end."""

from __future__ import annotations

import re
from collections import Counter
from dataclasses import dataclass, field

from .model import Notice, NoticeKind

__all__ = ["ALARMING", "Tally", "format_notice", "format_summary", "reason_of"]

# Notices that make the run exit 1: data that may be lost or miscounted.
ALARMING: tuple[NoticeKind, ...] = ("stray fragment", "batch count mismatch", "truncated frame", "read error")

# Reasons listed one by one in the summary; the rest are counted together.
MAX_REASONS = 20


# Counts, offsets and byte values; not the digits of names such as UTF-8,
# MSH-18 or PV1, nor versions such as 2.5.1. For texts of no known form.
_NUMBER = re.compile(r"(?<![\w.-])(?:0x[0-9A-Fa-f]+|\d+)(?![\w.])")

# The failure texts whose form is known, as templates: {N} is a number and
# {V} a quoted value, both varying from message to message and shown as "N"
# and "..."; {K} is a number that the run fixes (a limit), kept as it is.
# Every other number belongs to the rule ("exactly 3", "65536", versions).
_TEMPLATES = (
    # The command's validation rules, by their number in the README.
    "Invalid field separators: {V} (must be 4 characters, or 5 with the truncation character)",  # 3
    "HL7 version not supported: {V} (supported versions: 2.1, 2.2, 2.3, 2.4, 2.5, 2.5.1, 2.6, 2.7, 2.8, 2.9)",  # 4
    "HL7 validation failed: Segment {N} has empty segment name",  # 7
    "Invalid segment name: {V} (must be 3 characters: an uppercase letter, then uppercase letters or digits)",  # 8
    "Field value exceeds maximum length: {N} > 65536 characters",  # 9
    # Rules 1, 2, 5 and 6 have no varying part; these keep their numbers.
    "Missing required segment: MSH (Message Header)",
    "HL7 validation failed: MSH segment must have at least 12 fields",
    "HL7 validation failed: Message type (field 8) must have at least 3 components: event^structure^version",
    "Missing required segment: PID (Patient Identification)",
    # The reader's.
    "message too large: {N} bytes, more than the limit of {K} bytes",
    "cannot decode message {N} of SOURCE: byte {N} at offset {N} is not valid {K}",
    "message cut short at byte {N}: {K}",
)
_PARTS = {"{N}": r"(?P<n{}>0x[0-9A-Fa-f]+|\d+)", "{V}": r"(?P<v{}>.*)", "{K}": r"(?P<k{}>.*?)"}
_SHOWN = {"n": "N", "v": "...", "k": None}


def _template_pattern(template: str) -> re.Pattern[str]:
    pieces = re.split(r"(\{[NVK]\})", template)
    return re.compile(
        "".join(_PARTS[piece].format(i) if piece in _PARTS else re.escape(piece) for i, piece in enumerate(pieces)),
        re.DOTALL,
    )


_KNOWN = tuple(map(_template_pattern, _TEMPLATES))


def _known_reason(error: str) -> str | None:
    for pattern in _KNOWN:
        if found := pattern.fullmatch(error):
            shown, end = [], 0
            for name in found.groupdict():
                replacement = _SHOWN[name[0]]
                if replacement is not None:
                    shown += [error[end : found.start(name)], replacement]
                    end = found.end(name)
            return "".join(shown) + error[end:]
    return None


def reason_of(error: str, source: str) -> str:
    """An error text with what varies from message to message taken out (the
    source name, counts, offsets, values quoted), so that the summary can
    count failures by reason; the numbers of the rule itself stay."""
    if source:
        error = error.replace(source, "SOURCE")
    # A message cut short that failed as well: "where it was cut; why it failed".
    head, cut, tail = error.partition("; ")
    if cut and head.startswith("message cut short at byte ") and (known := _known_reason(tail)) is not None:
        return f"{_known_reason(head)}; {known}"
    known = _known_reason(error)
    return _NUMBER.sub("N", error) if known is None else known


@dataclass(slots=True)
class Tally:
    """What a stretch of the run saw. Parts from workers are added in input order."""

    sources: int = 0
    messages: int = 0
    converted: int = 0  # messages with records; counted apart from the failures
    segments: int = 0
    bytes_read: int = 0  # of the sources as they lie on disk, for the progress bar
    skipped: int = 0  # paths under the folders that were not read (told as they were met)
    failures: Counter[str] = field(default_factory=Counter)
    notice_counts: Counter[str] = field(default_factory=Counter)
    # Notices to show as they are met; envelope segments are only counted.
    notices: list[Notice] = field(default_factory=list)

    def note(self, notice: Notice) -> None:
        self.notice_counts[notice.kind] += 1
        if notice.kind != "envelope segment":
            self.notices.append(notice)

    def note_read_error(self, source: str, reason: str, offset: int = 0) -> None:
        """A source that cannot be read, or that broke off at `offset`."""
        self.note(Notice("read error", source, offset, reason.removeprefix(f"{source}: ")))

    def add(self, other: Tally) -> None:
        """Fold in the counts of `other` (its notices are shown, not kept)."""
        self.sources += other.sources
        self.messages += other.messages
        self.converted += other.converted
        self.segments += other.segments
        self.bytes_read += other.bytes_read
        self.skipped += other.skipped
        self.failures.update(other.failures)
        self.notice_counts.update(other.notice_counts)

    @property
    def failed(self) -> int:
        return sum(self.failures.values())

    @property
    def clean(self) -> bool:
        """No failed message and nothing alarming: exit status 0."""
        return not self.failures and not any(self.notice_counts[kind] for kind in ALARMING)


# The size that the reader appends to a quote it cut short.
_SIZE_IN_ALL = re.compile(r" \.\.\. \((\d+) bytes in all\)$")


def format_notice(notice: Notice) -> str:
    detail = notice.detail
    if len(detail) <= 80:
        return f"tessarin: {notice.source}: {notice.kind} at byte {notice.offset}: {detail!r}"
    # Cut to a line, but keep the size: it tells how much was not converted.
    size = _SIZE_IN_ALL.search(detail)
    shown = f"{detail[:77] + '...'!r}" + (f" ({size[1]} bytes in all)" if size else "")
    return f"tessarin: {notice.source}: {notice.kind} at byte {notice.offset}: {shown}"


def format_summary(tally: Tally, elapsed: float, *, segments: bool = True) -> str:
    """The end-of-run summary, one fact per line."""
    rate = tally.messages / elapsed if elapsed > 0 else 0.0
    lines = [f"sources: {tally.sources}"]
    if tally.skipped:
        lines.append(f"paths skipped (see above): {tally.skipped}")
    lines.append(f"messages: {tally.messages}")
    if segments:
        lines += [f"converted messages: {tally.converted}", f"segments: {tally.segments}"]
    lines.append(
        f"failed messages: {tally.failed}" + (" (by reason; what varies shown as N or ...)" if tally.failed else "")
    )
    ranked = tally.failures.most_common()
    for reason, count in ranked[:MAX_REASONS]:
        lines.append(f"  {count:>6}  {reason}")
    if len(ranked) > MAX_REASONS:
        rest = ranked[MAX_REASONS:]
        lines.append(f"  {sum(count for _, count in rest):>6}  ({len(rest)} other reasons)")
    lines += [
        f"stray fragments: {tally.notice_counts['stray fragment']}",
        f"batch-count mismatches: {tally.notice_counts['batch count mismatch']}",
        f"truncated frames: {tally.notice_counts['truncated frame']}",
        f"sources unreadable or broken off: {tally.notice_counts['read error']}",
        f"envelope segments skipped: {tally.notice_counts['envelope segment']}",
        f"elapsed: {elapsed:.2f} s ({rate:,.0f} messages/s)",
    ]
    return "\n".join(lines)
