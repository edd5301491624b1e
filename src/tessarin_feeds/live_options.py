"""The options of `tessarin listen` and `tessarin send`, apart from their
code: building the command's parser imports no networking modules."""

from __future__ import annotations

import argparse
from collections.abc import Callable

DEFAULT_MAX_MESSAGE = 16 << 20
DEFAULT_ROLL_SIZE = 64 << 20


def add_listen_parser(
    commands: argparse._SubParsersAction,  # type: ignore[type-arg]
    size: Callable[[str], int],
    positive: Callable[[str], int],
) -> None:
    listen = commands.add_parser(
        "listen",
        help="receive HL7 over MLLP into JSON Lines or Parquet files",
        description="Receive HL7 messages over MLLP; acknowledge each once it is safe on disk, and roll them into files in DIR.",
    )
    listen.add_argument(
        "-o", "--output", required=True, metavar="DIR", help="folder for the output files and the journal"
    )
    listen.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    listen.add_argument("--port", type=port, default=2575, help="port (default: 2575; 0 takes a free one)")
    listen.add_argument(
        "--format", choices=("jsonl", "parquet"), default="jsonl", help="output file format (default: jsonl)"
    )
    listen.add_argument(
        "--roll-size",
        type=size,
        default=DEFAULT_ROLL_SIZE,
        metavar="SIZE",
        help="start a new output file after this many bytes of rows (default: 64M)",
    )
    listen.add_argument(
        "--roll-interval",
        type=seconds,
        default=300.0,
        metavar="SECONDS",
        help="start a new output file after this long (default: 300)",
    )
    listen.add_argument("--validate", action="store_true", help="validate each message; one that fails is answered AE")
    listen.add_argument("--strict", action="store_true", help="validate strictly (implies --validate)")
    listen.add_argument(
        "--no-escaping", action="store_true", help="keep HL7 escape sequences in the values as they stand"
    )
    listen.add_argument(
        "--durability",
        choices=("fsync", "write"),
        default="fsync",
        help="acknowledge after the journal is flushed to disk (fsync, default) or written to the system (write)",
    )
    listen.add_argument("--tls-cert", metavar="FILE", help="TLS: the server's certificate chain (PEM)")
    listen.add_argument("--tls-key", metavar="FILE", help="TLS: its private key (PEM)")
    listen.add_argument("--tls-client-ca", metavar="FILE", help="TLS: require client certificates signed by these CAs")
    listen.add_argument(
        "--max-connections",
        type=positive,
        default=64,
        metavar="N",
        help="close connections past this many at once (default: 64)",
    )
    listen.add_argument(
        "--idle-timeout",
        type=seconds,
        default=600.0,
        metavar="SECONDS",
        help="close a connection quiet for this long (default: 600)",
    )
    listen.add_argument(
        "--max-message-size",
        type=size,
        default=DEFAULT_MAX_MESSAGE,
        metavar="SIZE",
        help="answer a larger frame AR without holding it (default: 16M)",
    )


def add_send_parser(commands: argparse._SubParsersAction, positive: Callable[[str], int]) -> None:  # type: ignore[type-arg]
    send = commands.add_parser(
        "send",
        help="send HL7 feeds to an MLLP receiver",
        description="Send every message of the PATHs over MLLP, each waiting for its acknowledgement.",
    )
    send.add_argument("address", type=parse_address, metavar="HOST:PORT", help="the receiver ([::1]:2575 for IPv6)")
    send.add_argument("paths", nargs="+", metavar="PATH", help="a file, a folder, or - for standard input")
    send.add_argument(
        "--tls-ca", metavar="FILE", help="use TLS, trusting the receiver's certificate if these CAs signed it"
    )
    send.add_argument(
        "--timeout",
        type=seconds,
        default=30.0,
        metavar="SECONDS",
        help="wait this long to connect and for each acknowledgement (default: 30)",
    )
    send.add_argument(
        "--retries",
        type=count,
        default=3,
        metavar="N",
        help="send again this many times after a time-out or a dropped connection (default: 3)",
    )


def parse_address(text: str) -> tuple[str, int]:
    """HOST:PORT, with an IPv6 host in brackets: [::1]:2575."""
    host, colon, number = text.rpartition(":")
    if not colon or not number.isdigit() or not host or int(number) > 65535:
        raise argparse.ArgumentTypeError(f"not HOST:PORT: {text!r}")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    return host, int(number)


def port(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}")
    return int(text)


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be more than 0 seconds: {text}")
    return value


def count(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}")
    return int(text)
