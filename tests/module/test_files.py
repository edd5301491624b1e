"""from_file of both classes: file errors, blank files and the JSON reader."""

from __future__ import annotations

import errno
import json
import os
import re

import pytest

from tessarin import Hl7Json, JsonHl7

from conftest import WORKED, WORKED_ESCAPED, WORKED_UNESCAPED, raises_plain

CLASSES = [Hl7Json, JsonHl7]
NOT_UTF8 = "I/O error: stream did not contain valid UTF-8"
EMPTY = "HL7 message is empty"
INVALID_PREFIX = "HL7 invalid format: Invalid JSON: "


def os_error(code: int) -> str:
    return f"I/O error: {os.strerror(code)} (os error {code})"


# ---------------------------------------------------------------------------
# I/O errors, both classes


@pytest.mark.parametrize("cls", CLASSES)
def test_missing_file(cls, tmp_path):
    with raises_plain("I/O error: No such file or directory (os error 2)"):
        cls.from_file(str(tmp_path / "missing.hl7"))
    with raises_plain("I/O error: No such file or directory (os error 2)"):
        cls.from_file("")


@pytest.mark.parametrize("cls", CLASSES)
def test_directory(cls, tmp_path):
    assert os_error(errno.EISDIR) == "I/O error: Is a directory (os error 21)"
    with raises_plain(os_error(errno.EISDIR)):
        cls.from_file(str(tmp_path))


@pytest.mark.parametrize("cls", CLASSES)
def test_other_os_errors(cls, tmp_path, write_file):
    path = write_file("MSH|x")
    with raises_plain(os_error(errno.ENOTDIR)):
        cls.from_file(path + "/child")
    with raises_plain(os_error(errno.ENAMETOOLONG)):
        cls.from_file(str(tmp_path / ("n" * 5000)))
    loop = tmp_path / "loop"
    os.symlink(loop, loop)
    with raises_plain(os_error(errno.ELOOP)):
        cls.from_file(str(loop))


@pytest.mark.parametrize("cls", CLASSES)
def test_nul_in_path(cls, write_file):
    path = write_file("MSH|x")
    with raises_plain("I/O error: file name contained an unexpected NUL byte"):
        cls.from_file(path + "\x00")
    with raises_plain("I/O error: file name contained an unexpected NUL byte"):
        cls.from_file("\x00" + path)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "content",
    [
        b"\xff",
        b"MSH|\xc3",  # truncated sequence at the end
        b"MSH|\xc3(|x",  # bad continuation byte
        b"\xc0\xaf",  # overlong encoding
        b"\xe0\x80\xaf",  # overlong encoding
        b"\xed\xa0\x80",  # encoded surrogate
        b"\xf4\x90\x80\x80",  # above U+10FFFF
        b"\x80MSH",  # lone continuation byte
        b"[]\xfe",
        b'[{"a": "\xff"}]',
        b'[{"\xc3": "a"}]',
        b"\xff\xfe[\x00]\x00",  # UTF-16
        "MSH|é".encode("latin-1"),
    ],
)
def test_not_utf8(cls, content, write_file):
    with pytest.raises(UnicodeDecodeError):
        content.decode("utf-8")
    with raises_plain(NOT_UTF8):
        cls.from_file(write_file(content))


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "content",
    [
        "",
        " ",
        "\n",
        "\r\n\r\n",
        " \t\r\n\x0b\x0c ",
        "\x0c",
        "\u00a0",
        "\u2003\u3000\u0085\u2028\u2029\u1680\u202f\u205f",
    ],
)
def test_blank_file_is_empty_message(cls, content, write_file):
    with raises_plain(EMPTY):
        cls.from_file(write_file(content))


# ---------------------------------------------------------------------------
# Hl7Json.from_file


def test_hl7_from_file_builds_like_the_constructor(write_file):
    text = "MSH|^~\\&|APP|FAC\r\nPID|1||12345^^^HOSP^MR\r\n"
    h = Hl7Json.from_file(write_file(text))
    assert type(h) is Hl7Json
    assert h.hl7_string == Hl7Json(text).hl7_string
    assert h.hl7_json == Hl7Json(text).hl7_json
    assert (h.validation_enabled, h.strict_validation, h.escaping_enabled) == (False, False, True)


def test_hl7_from_file_options(write_file):
    path = write_file("MSH|\\T\\")
    h = Hl7Json.from_file(path, True, True, False)
    assert (h.validation_enabled, h.strict_validation, h.escaping_enabled) == (True, True, False)
    h = Hl7Json.from_file(path=path, escaping_enabled=False)
    assert (h.validation_enabled, h.strict_validation, h.escaping_enabled) == (False, False, False)
    assert h.hl7_json == [{"1": "\\T\\", "segment_name": "MSH"}]
    h = Hl7Json.from_file(path, None, None, None)
    assert h.hl7_json == [{"1": "&", "segment_name": "MSH"}]


def test_hl7_from_file_validation_happens_on_conversion(write_file):
    h = Hl7Json.from_file(write_file("not hl7 at all"), validation_enabled=True)
    with raises_plain("Missing required segment: MSH (Message Header)"):
        h.hl7_json


def test_hl7_from_file_option_errors_come_before_reading(tmp_path):
    with pytest.raises(TypeError) as info:
        Hl7Json.from_file(str(tmp_path / "missing"), strict_validation="yes")
    assert info.value.__notes__ == ["while processing 'strict_validation'"]


def test_hl7_from_file_keeps_bom_and_white_space(write_file):
    h = Hl7Json.from_file(write_file("\ufeffMSH|a\r\n"))
    assert h.hl7_string == "\ufeffMSH|a\n"
    assert h.hl7_json == [{"1": "a", "segment_name": "\ufeffMSH"}, {"segment_name": ""}]
    h = Hl7Json.from_file(write_file("\n\n  MSH|a  \n\n"))
    assert h.hl7_string == "\n\n  MSH|a  \n\n"
    assert [r["segment_name"] for r in h.hl7_json] == ["", "", "  MSH", "", ""]


@pytest.mark.parametrize("content", ["\ufeff", "\u200b", "\x1c", "\x1f", "\x00", " \x00 ", "x"])
def test_hl7_from_file_not_white_space(content, write_file):
    # only White_Space characters count as blank: U+FEFF, U+200B and U+001C-U+001F do not
    h = Hl7Json.from_file(write_file(content))
    assert h.hl7_string == content


def test_hl7_from_file_reads_whole_file_with_nul_and_non_ascii(write_file):
    text = "MSH|a\x00b|é€😀\rPID|" + "x" * 100000
    h = Hl7Json.from_file(write_file(text))
    assert h.hl7_string == text.replace("\r", "\n")
    assert h.hl7_json[0]["1"] == "a\x00b"


def test_hl7_from_file_not_utf8_in_the_middle_of_a_large_file(write_file):
    content = b"MSH|" + b"a" * 1_000_000 + b"\xff" + b"b" * 10
    with raises_plain(NOT_UTF8):
        Hl7Json.from_file(write_file(content))


# ---------------------------------------------------------------------------
# JsonHl7.from_file: accepted documents


@pytest.mark.parametrize(
    "text, records",
    [
        ("[]", []),
        (" \t\r\n[ ]\r\n\t ", []),
        ("[{}]", [{}]),
        ("[{}, {}]", [{}, {}]),
        ('[{"segment_name": "PID", "segment_name": "PV1"}]', [{"segment_name": "PV1"}]),
        ('[{"a": "1", "b": "2", "a": "3"}]', [{"a": "3", "b": "2"}]),
        ('[{"a": "1", "\\u0061": "2"}]', [{"a": "2"}]),
        ('[{"a": "1", "a": "2", "a": "3"}]', [{"a": "3"}]),
        ('[{"b": "1", "a": "x", "b": "2", "c": "y", "b": "3"}]', [{"a": "x", "b": "3", "c": "y"}]),
        ('[{"\\u0062": "1", "a": "2"}]', [{"a": "2", "b": "1"}]),
        ('[{"a": "[[[{{{\\"]]]"}]', [{"a": '[[[{{{"]]]'}]),
        ('[{"b": "1", "a": "2"}]', [{"a": "2", "b": "1"}]),
        (
            '[{"1": "\\u00e9\\u00E9", "2": "a\\\\b", "3": "\\/\\"", "4": "\\b\\f\\n\\r\\t"}]',
            [{"1": "éé", "2": "a\\b", "3": '/"', "4": "\b\f\n\r\t"}],
        ),
        ('[{"1": "\\u0000", "\\u0000": "x"}]', [{"1": "\x00", "\x00": "x"}]),
        ('[{"1": "\\ud83d\\ude00", "2": "😀", "3": "\\uD83D\\uDE00"}]', [{"1": "😀", "2": "😀", "3": "😀"}]),
        ('[{"é": "ü", "中": "\\u4e2d"}]', [{"é": "ü", "中": "中"}]),
        ('[{"segment_name": "", "": ""}]', [{"": "", "segment_name": ""}]),
        (
            '[\n  {"segment_name": "MSH", "1": "^~\\\\&"},\n  {"segment_name": "PID", "3": "x"}\n]',
            [{"1": "^~\\&", "segment_name": "MSH"}, {"3": "x", "segment_name": "PID"}],
        ),
    ],
)
def test_json_accepted(text, records, write_file):
    j = JsonHl7.from_file(write_file(text))
    assert type(j) is JsonHl7
    data = j.json_data
    assert data == records
    assert [list(r) for r in data] == [sorted(r, key=lambda k: k.encode()) for r in records]


def test_json_long_keys_and_values(write_file):
    key, value = "k" * 1_000_000, "v\u00e9" * 500_000
    j = JsonHl7.from_file(write_file(json.dumps([{key: value, "1": "x"}])))
    assert j.json_data == [{"1": "x", key: "vé" * 500_000}]
    assert j.hl7_string == "x"


def test_json_from_file_assembles(write_file):
    j = JsonHl7.from_file(write_file(json.dumps(WORKED)))
    assert j.hl7_string_unescaped == WORKED_UNESCAPED
    assert j.hl7_string == WORKED_ESCAPED


def test_json_from_file_matches_constructor_for_python_json(write_file):
    records = [{"segment_name": "A", "1": "x\u2028y", "2.1": "\x00\x1f", "ключ": "значение"}, {}]
    for ensure_ascii in (True, False):
        j = JsonHl7.from_file(write_file(json.dumps(records, ensure_ascii=ensure_ascii)))
        assert j.json_data == JsonHl7(records).json_data


# ---------------------------------------------------------------------------
# JsonHl7.from_file: refusals with line and column

POSITION = re.compile(r"line (\d+) column (\d+)")


def json_error(text, write_file) -> tuple[str, int, int]:
    with pytest.raises(Exception) as info:
        JsonHl7.from_file(write_file(text))
    exc = info.value
    assert type(exc) is Exception
    assert len(exc.args) == 1
    message = exc.args[0]
    assert message.startswith(INVALID_PREFIX), message
    found = POSITION.findall(message)
    assert found, message
    line, column = map(int, found[-1])
    return message, line, column


# (content, line, column) where the place of the error is unambiguous
EXACT_POSITION_CASES = [
    (b'[{"3": 7}]', 1, 8),
    (b'[{"a": "b"}, {"a": null}]', 1, 20),
    (b'[{"a": true}]', 1, 8),
    (b'[{"a": false}]', 1, 8),
    (b'[{"a": ["x"]}]', 1, 8),
    (b'[{"a": {"b": "c"}}]', 1, 8),
    (b'[{"a": 1.5e3}]', 1, 8),
    (b'[{"a": -1}]', 1, 8),
    (b"\n\nx", 3, 1),
    (b"x", 1, 1),
    (b'{"segment_name": "PID"}', 1, 1),
    (b'"[]"', 1, 1),
    (b"null", 1, 1),
    (b"7", 1, 1),
    (b"[1]", 1, 2),
    (b"[[]]", 1, 2),
    (b'["a"]', 1, 2),
    (b"[null]", 1, 2),
    (b"[NaN]", 1, 2),
    (b"[{}, 1]", 1, 6),
    (b"[] x", 1, 4),
    (b"[]\n\n  x", 3, 3),
    (b"[]\x0c", 1, 3),
    (b"[] ]", 1, 4),
    (b"[]{}", 1, 3),
    (b"[][]", 1, 3),
    (b'[{"a": "b"}] ]', 1, 14),
    (b"[]\x00", 1, 3),
    ("[]\u00a0".encode(), 1, 3),
    ("\ufeff[]".encode(), 1, 1),
    (b"\x0c[]", 1, 1),
    ("\u00a0[]".encode(), 1, 1),
    ("\u2028[]".encode(), 1, 1),
    (b"\x0b[]", 1, 1),
    (b"\r\n\r\n[1]", 3, 2),
    (b'  \n [ \n {"a": \n "b" } \n , \n 7 ]', 6, 2),
    (b'[{"a":"b"} {"c":"d"}]', 1, 12),
    (b'[{"a" "b"}]', 1, 7),
    (b'[{a:"b"}]', 1, 3),
    (b"[{'a':'b'}]", 1, 3),
    (b'[{"a":"b",}]', 1, 11),
    (b"[{},]", 1, 5),
    (b"[,{}]", 1, 2),
    (b"[{}]//c", 1, 5),
    (b"/*c*/[]", 1, 1),
    (b'[\n{}\n,\n{"a": 1}\n]', 4, 7),
]


@pytest.mark.parametrize(
    "content, line, column", EXACT_POSITION_CASES, ids=[repr(c[0])[:40] for c in EXACT_POSITION_CASES]
)
def test_json_refused_with_exact_position(content, line, column, write_file):
    message, got_line, got_column = json_error(content, write_file)
    assert (got_line, got_column) == (line, column), message


# (content, line, lowest column, highest column): the error may be placed at the
# start of the offending token or at the offending character inside it
RANGE_POSITION_CASES = [
    (b'[\n{"a":\n "b', 3, 2, 4),  # unterminated string
    (b'[\n{"a":\n "b\tc"}]', 3, 2, 4),  # raw tab in a string
    (b'[\n{"a":\n "b\x01c"}]', 3, 2, 4),  # raw control character
    (b'[\n{"a":\n "b\x1fc"}]', 3, 2, 4),
    (b'[\n{"a\x00":\n "b"}]', 2, 2, 4),  # raw NUL in a key
    (b'[\n{"a": "b\nc"}]', 2, 7, 9),  # raw line feed in a string
    (b'[\n{"a":\n "\\x"}]', 3, 2, 4),  # invalid escape
    (b'[\n{"a":\n "\\u12"}]', 3, 2, 7),  # short \u escape
    (b'[\n{"a":\n "\\uZZZZ"}]', 3, 2, 5),
    (b'[\n{"a":\n "\\\'"}]', 3, 2, 4),
    (b'[\n{"a":"\\ud800"}]', 2, 6, 13),  # lone high surrogate
    (b'[\n{"a":"\\ud800x"}]', 2, 6, 14),
    (b'[\n{"a":"\\ud800\\u0041"}]', 2, 6, 19),  # high surrogate followed by a non-surrogate
    (b'[\n{"a":"\\ud800\\ud800"}]', 2, 6, 19),  # two high surrogates
    (b'[\n{"a":"\\udc00"}]', 2, 6, 13),  # lone low surrogate
    (b'[\n{"\\udfff":"a"}]', 2, 2, 9),  # lone surrogate in a key
    (b'[\n\n{"a": "b"}', 3, 1, 11),  # truncated after an element
    (b'[\n\n{"a": "b"', 3, 1, 10),  # truncated inside an object
    (b'[\n\n{"a": ', 3, 1, 7),  # truncated before a value
    (b"[", 1, 1, 2),
    (b'[{"a": "b\\', 1, 8, 11),  # truncated inside an escape
    (b'[\n{"a": 1e}]', 2, 7, 9),  # malformed number (and a number anyway)
    (b'[\n{"a": tru}]', 2, 7, 10),
]


@pytest.mark.parametrize(
    "content, line, low, high", RANGE_POSITION_CASES, ids=[repr(c[0])[:40] for c in RANGE_POSITION_CASES]
)
def test_json_refused_with_position(content, line, low, high, write_file):
    message, got_line, got_column = json_error(content, write_file)
    assert got_line == line, message
    assert low <= got_column <= high, message


def test_json_blank_lines_before_the_error_are_counted(write_file):
    _, line, column = json_error(b'\n\n[{"3": 7}]', write_file)
    assert (line, column) == (3, 8)
    _, line, column = json_error(b'\r\n\r\n[{"3": 7}]', write_file)
    assert (line, column) == (3, 8)


def test_json_form_feed_is_blank_alone_but_not_before_an_array(write_file):
    with raises_plain(EMPTY):
        JsonHl7.from_file(write_file("\x0c"))
    json_error("\x0c[]", write_file)
    json_error("\ufeff[]", write_file)
    with raises_plain(EMPTY):
        JsonHl7.from_file(write_file(" \n\t\r "))


@pytest.mark.parametrize(
    "content",
    [
        b"[" * 100_000 + b"]" * 100_000,
        b"[" * 1_000_000,
        b"{" * 1_000_000,
        b'[{"a":' + b"[" * 1_000_000 + b"]" * 1_000_000 + b"}]",
        b'[{"a":' + b'{"b":' * 200_000 + b'"c"' + b"}" * 200_000 + b"}]",
        b"[" + b"{}," * 100_000 + b"[" * 100_000,
    ],
    ids=[
        "balanced-arrays",
        "open-arrays",
        "open-objects",
        "arrays-in-a-value",
        "objects-in-a-value",
        "after-many-records",
    ],
)
def test_deeply_nested_json_refused_cleanly(content, write_file):
    json_error(content, write_file)


def test_refusal_leaves_nothing_behind_and_later_reads_work(write_file):
    for _ in range(3):
        json_error(b'[{"a": 1}]', write_file)
    assert JsonHl7.from_file(write_file(b'[{"segment_name": "A"}]')).hl7_string == "A"


# ---------------------------------------------------------------------------
# Large files


def _record_text(i: int) -> str:
    return '{"segment_name":"OBX","1":"%d","2":"NM","3.1":"GLU^x","5":"a b&c","6[1]":"\\u00e9"}' % i


def test_json_100_mb_of_small_records(tmp_path):
    line = _record_text(0) + ",\n"
    count = 100_000_000 // len(line) + 1
    body = line * (count - 1) + _record_text(count - 1)
    path = tmp_path / "big.json"
    path.write_text("[\n" + body + "\n]\n")
    assert path.stat().st_size >= 100_000_000
    j = JsonHl7.from_file(str(path))
    text = j.hl7_string_unescaped
    lines = text.split("\n")
    assert len(lines) == count
    assert lines[0] == "OBX|0|NM|GLU^x||a b&c|~é"
    assert lines[-1] == f"OBX|{count - 1}|NM|GLU^x||a b&c|~é"


def test_json_100_mb_of_large_values(tmp_path):
    value = "x" * 999_990 + "\\u00e9\\n"
    path = tmp_path / "big.json"
    path.write_text("[" + ",".join('{"segment_name":"NTE","3":"%s"}' % value for _ in range(100)) + "]")
    assert path.stat().st_size >= 100_000_000
    j = JsonHl7.from_file(str(path))
    data = j.json_data
    assert len(data) == 100
    assert data[-1]["3"] == "x" * 999_990 + "é\n"
    escaped = j.hl7_string
    assert escaped.count("\n") == 99
    assert escaped.endswith("x" * 10 + "é\\X0A\\")


def test_json_100_mb_error_on_the_last_line(tmp_path):
    # 100 MB of JSON white space and empty objects, then an error on the last line
    count = 45_000_000
    path = tmp_path / "bad.json"
    with open(path, "w") as f:
        f.write("[\n")
        f.write("{},\n" * 5_000_000)
        f.write(" \n" * (count - 5_000_000))
        f.write('{"a": 7}]')
    assert path.stat().st_size >= 100_000_000
    with pytest.raises(Exception) as info:
        JsonHl7.from_file(str(path))
    message = info.value.args[0]
    assert message.startswith(INVALID_PREFIX)
    got_line, got_column = map(int, POSITION.findall(message)[-1])
    assert (got_line, got_column) == (count + 2, 7), message


# A file of unknown size (a FIFO) is read to its end in growing pieces; a
# regular file in one read of the size stat gives. Both must yield the same
# records, whatever the size, and the same error for the same bytes.
@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
@pytest.mark.parametrize("values", [0, 1, 3, 200, 1_000, 5_000])
@pytest.mark.parametrize("tail", [b"", b"  \n", b" x"])
def test_from_file_reads_a_stream_as_a_regular_file(tmp_path, values, tail):
    import threading

    records = [{"segment_name": "OBX", "1": str(i), "5": "v" * (i % 97) + " ^|"} for i in range(values)]
    data = json.dumps(records).encode() + tail
    regular = tmp_path / "records.json"
    regular.write_bytes(data)
    fifo = tmp_path / "stream.json"
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as out:
            for start in range(0, len(data), 777):  # pieces that do not line up with any buffer
                out.write(data[start : start + 777])
                out.flush()

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        from_stream = _outcome(lambda: JsonHl7.from_file(str(fifo)))
    finally:
        writer.join(timeout=30)
    assert from_stream == _outcome(lambda: JsonHl7.from_file(str(regular)))
    if not tail.strip():
        assert from_stream == ("ok", records)


def _outcome(read):
    try:
        return ("ok", read().json_data)
    except Exception as error:  # the same bytes must fail the same way
        return (type(error).__name__, str(error))
