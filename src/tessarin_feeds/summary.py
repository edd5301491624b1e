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
# MSH-18 or PV1, nor versions such as 2.5.1.
_NUMBER = re.compile(r"(?<![\w.-])(?:0x[0-9A-Fa-f]+|\d+)(?![\w.])")


def reason_of(error: str, source: str) -> str:
    """An error text with what varies from message to message taken out (the
    source name, numbers), so that the summary can count failures by reason."""
    if source:
        error = error.replace(source, "SOURCE")
    return _NUMBER.sub("N", error)


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
    lines.append(f"failed messages: {tally.failed}" + (" (by reason, numbers shown as N)" if tally.failed else ""))
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
