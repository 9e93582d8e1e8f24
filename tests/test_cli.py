import io
import json
import os
import pathlib
import subprocess
import sys

import pytest

import quelm
from quelm.cli import main

ROOT = pathlib.Path(__file__).parents[1]
SAMPLE = ROOT / "examples" / "sample.qlm"


@pytest.fixture
def run(monkeypatch, capsysbinary):
    """Runs main() with the given arguments and standard input bytes."""

    def run(args, stdin=b""):
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
        code = main(args)
        captured = capsysbinary.readouterr()
        return code, captured.out, captured.err.decode()

    return run


def hexin(text):
    return bytes.fromhex(text.replace(" ", ""))


# ------------------------------------------------------------------ inspect


@pytest.mark.parametrize(
    "data, lines",
    [
        pytest.param("01 ff", ["       0  positive tiny int  [01]  1",
                               "       1  negative tiny int  [ff]  -1"], id="tiny-ints"),
        pytest.param("cd 01 2c", ["       0  uint 16  [cd 01 2c]  300"], id="uint16"),
        pytest.param("d3 80 00 00 00 00 00 00 00",
                     ["       0  int 64  [d3 80 00 00 00 00 00 00 00]  -9223372036854775808"],
                     id="int64-min"),
        pytest.param("ca 3f c0 00 00", ["       0  float 32  [ca 3f c0 00 00]  1.5"], id="float32"),
        pytest.param("c0 c2 c3", ["       0  nil  [c0]", "       1  false  [c2]",
                                  "       2  true  [c3]"], id="nil-bools"),
        pytest.param("d9 05 68 c3 a9 6c 6c",
                     ['       0  str 8 (5 bytes)  [d9 05]  "héll"'], id="str8"),
        pytest.param("a2 c3 28", ['       0  short str (2 bytes)  [a2]  "\ufffd("  (invalid UTF-8)'],
                     id="bad-utf8-is-shown"),
        pytest.param("c4 03 00 01 02", ["       0  bin 8 (3 bytes)  [c4 03]  00 01 02"], id="bin8"),
        pytest.param("c5 00 14" + " 00" * 20,
                     ["       0  bin 16 (20 bytes)  [c5 00 14]  " + "00 " * 15 + "00 ..."],
                     id="long-bin-shortened"),
        pytest.param("82 a1 61 01 01 90",
                     ["       0  short map (2 pairs)  [82]",
                      '       1    key: short str (1 byte)  [a1]  "a"',
                      "       3    value: positive tiny int  [01]  1",
                      "       4    key: positive tiny int  [01]  1",
                      "       5    value: short array (0 items)  [90]"], id="map"),
        pytest.param("dc 00 01 de 00 00",
                     ["       0  array 16 (1 item)  [dc 00 01]",
                      "       3    map 16 (0 pairs)  [de 00 00]"], id="array16"),
        pytest.param("d6 ff 00 00 00 01",
                     ["       0  timestamp 32  [d6 ff]  1970-01-01T00:00:01Z "
                      "(seconds=1, nanoseconds=0)"], id="timestamp32"),
        pytest.param("c7 0c ff 1d cd 65 00 ff ff ff ff ff ff ff ff",
                     ["       0  timestamp 96  [c7 0c ff]  1969-12-31T23:59:59.500000000Z "
                      "(seconds=-1, nanoseconds=500000000)"], id="timestamp96"),
        pytest.param("c7 04 ff 00 00 00 01",
                     ["       0  timestamp 32 (in ext 8)  [c7 04 ff]  1970-01-01T00:00:01Z "
                      "(seconds=1, nanoseconds=0)"], id="timestamp-in-ext8"),
        pytest.param("d5 ff 00 01",
                     ["       0  fixed ext 2 (type -1, 2 bytes)  [d5 ff]  00 01  "
                      "(invalid timestamp data (length 2))"], id="bad-timestamp-length"),
        pytest.param("c7 00 05", ["       0  ext 8 (type 5, 0 bytes)  [c7 00 05]"], id="empty-ext"),
        pytest.param("d4 05 07", ["       0  fixed ext 1 (type 5, 1 byte)  [d4 05]  07"],
                     id="fixext1"),
    ],
)
def test_inspect_lines(run, data, lines):
    code, out, err = run(["inspect"], hexin(data))
    assert (code, err) == (0, "")
    assert out.decode().splitlines() == lines


@pytest.mark.parametrize("command", ["inspect", "decode"])
@pytest.mark.parametrize(
    "data, message",
    [
        pytest.param("01 c1", "quelm: error at offset 1: invalid byte 0xc1 (it starts no value)",
                     id="c1"),
        pytest.param("92 01 c1", "quelm: error at offset 2: invalid byte 0xc1 (it starts no value)",
                     id="c1-inside"),
        pytest.param("91" * 1025 + "01",
                     "quelm: error at offset 1024: nesting too deep "
                     "(more than 1024 levels of containers)", id="too-deep"),
    ],
)
def test_structural_errors(run, command, data, message):
    code, _, err = run([command], hexin(data))
    assert code == 1
    assert err.splitlines() == [message]


@pytest.mark.parametrize(
    "data, inspect_message, decode_message",
    [
        pytest.param("01 da 00 10 61 62",
                     "at offset 1: truncated input: this str 16 needs 16 bytes at offset 4, "
                     "the input ends after 2",
                     "at offset 1: truncated input: the value starting here is incomplete "
                     "when the input ends at offset 6", id="payload"),
        pytest.param("93 01 02",
                     "at offset 3: truncated input: the input ends inside a container, 1 item short",
                     "at offset 0: truncated input: the value starting here is incomplete "
                     "when the input ends at offset 3", id="container"),
        pytest.param("cd 01",
                     "at offset 0: truncated input: this uint 16 needs 2 bytes at offset 1, "
                     "the input ends after 1",
                     "at offset 0: truncated input: the value starting here is incomplete "
                     "when the input ends at offset 2", id="number"),
    ],
)
def test_truncated_input(run, data, inspect_message, decode_message):
    code, _, err = run(["inspect"], hexin(data))
    assert (code, err) == (1, f"quelm: error {inspect_message}\n")
    code, _, err = run(["decode"], hexin(data))
    assert (code, err) == (1, f"quelm: error {decode_message}\n")


def test_inspect_keeps_deep_lines_short(run):
    code, out, _ = run(["inspect"], b"\x91" * 100 + b"\x01")
    assert code == 0
    last = out.decode().splitlines()[-1]
    assert last.endswith("(depth 100) positive tiny int  [01]  1")
    assert len(last) < 120


# ------------------------------------------------------------------- decode


@pytest.mark.parametrize(
    "data, rendered",
    [
        pytest.param("81 a1 61 01", '{"a": 1}', id="map"),
        pytest.param("c4 02 00 ff", '{"$bytes": "00ff"}', id="bytes"),
        pytest.param("d4 05 07", '{"$ext": {"code": 5, "data": "07"}}', id="ext"),
        pytest.param("d7 ff 00 00 00 04 00 00 00 01",
                     '{"$timestamp": {"seconds": 1, "nanoseconds": 1, '
                     '"iso": "1970-01-01T00:00:01.000000001Z"}}', id="timestamp"),
        pytest.param("c7 0c ff 00 00 00 00 7f ff ff ff ff ff ff ff",
                     '{"$timestamp": {"seconds": 9223372036854775807, "nanoseconds": 0, '
                     '"iso": null}}', id="timestamp-beyond-datetime"),
        pytest.param("cb 7f f8 00 00 00 00 00 00", '{"$float": "nan"}', id="nan"),
        pytest.param("ca ff 80 00 00", '{"$float": "-inf"}', id="minus-inf"),
        pytest.param("81 01 02", '{"$map": [[1, 2]]}', id="int-key"),
        pytest.param("81 91 01 02", '{"$map": [[[1], 2]]}', id="array-key"),
        pytest.param("82 a1 61 01 a1 61 02", '{"$map": [["a", 1], ["a", 2]]}', id="duplicate-key"),
        pytest.param("81 a2 24 78 01", '{"$map": [["$x", 1]]}', id="dollar-key"),
        pytest.param("cf ff ff ff ff ff ff ff ff", "18446744073709551615", id="uint64"),
        pytest.param("a3 e2 82 ac", '"€"', id="utf8"),
    ],
)
def test_decode_rendering(run, data, rendered):
    code, out, err = run(["decode"], hexin(data))
    assert (code, err) == (0, "")
    assert out.decode() == rendered + "\n"


def test_decode_writes_one_line_per_value(run):
    code, out, _ = run(["decode"], hexin("01 92 01 02 c0 a1 78"))
    assert code == 0
    assert out.decode().splitlines() == ["1", "[1, 2]", "null", '"x"']


def test_decode_reports_invalid_utf8(run):
    code, out, err = run(["decode"], hexin("01 a2 c3 28"))
    assert (code, out) == (1, b"1\n")
    assert err.startswith("quelm: error at offset 1: invalid value starting here: ")
    assert "utf-8" in err and len(err.splitlines()) == 1


def test_decode_of_deepest_allowed_nesting(run):
    code, out, _ = run(["decode"], b"\x91" * 1024 + b"\x01")
    assert code == 0
    assert out == b"[" * 1024 + b"1" + b"]" * 1024 + b"\n"


# ------------------------------------------------------------------- encode


def test_encode_document(run):
    code, out, err = run(["encode"], b'{"a": [1, 2.5, null, true, "x"]}')
    assert (code, err) == (0, "")
    assert quelm.unpackb(out) == {"a": [1, 2.5, None, True, "x"]}


def test_encode_lines(run):
    code, out, _ = run(["encode", "--lines"], b'1\n\n"two"\n[3]\n')
    assert code == 0
    assert list(quelm.Unpacker(io.BytesIO(out))) == [1, "two", [3]]


@pytest.mark.parametrize(
    "stream",
    [
        pytest.param("81 a1 61 01", id="map"),
        pytest.param("c4 02 00 ff", id="bytes"),
        pytest.param("c7 03 05 61 62 63", id="ext"),
        pytest.param("d7 ff 00 00 00 04 00 00 00 01", id="timestamp"),
        pytest.param("cb 7f f0 00 00 00 00 00 00", id="inf"),
        pytest.param("82 01 02 91 01 03", id="non-str-keys"),
        pytest.param("82 a1 61 01 a1 61 02", id="duplicate-keys"),
        pytest.param("81 81 01 02 03", id="map-as-key"),
        pytest.param("01 a1 78 90", id="several-values"),
    ],
)
def test_decode_then_encode_restores_the_bytes(run, stream):
    code, json_lines, _ = run(["decode"], hexin(stream))
    assert code == 0
    code, packed, err = run(["encode", "--lines"], json_lines)
    assert (code, err) == (0, "")
    assert packed == hexin(stream)


def test_encode_plain_takes_tags_literally(run):
    code, out, _ = run(["encode", "--plain"], b'{"$bytes": "00"}')
    assert code == 0 and quelm.unpackb(out) == {"$bytes": "00"}


@pytest.mark.parametrize(
    "args, data, message",
    [
        pytest.param(["encode"], b'{"a": }', "quelm: error at line 1, column 7: "
                     "invalid JSON: Expecting value", id="bad-json"),
        pytest.param(["encode", "--lines"], b'1\n2\n[\n', "quelm: error at line 3, column 2: "
                     "invalid JSON: Expecting value", id="bad-json-line"),
        pytest.param(["encode"], b"18446744073709551616", "quelm: error: "
                     "cannot encode: Integer value out of range", id="int-too-large"),
        pytest.param(["encode", "--lines"], b'1\n{"$bytes": "zz"}\n',
                     "quelm: error at line 2: non-hexadecimal number found in fromhex() arg "
                     "at position 0", id="bad-tag"),
        pytest.param(["encode"], b'{"$ext": 5}', "quelm: error: malformed $ext object",
                     id="malformed-tag"),
    ],
)
def test_encode_errors(run, args, data, message):
    code, _, err = run(args, data)
    assert (code, err) == (1, message + "\n")


# ---------------------------------------------------------- files, usage


def test_missing_file(run, tmp_path):
    code, _, err = run(["decode", str(tmp_path / "none.qlm")])
    assert code == 1
    assert err == f"quelm: error: cannot read {tmp_path / 'none.qlm'}: No such file or directory\n"


@pytest.mark.parametrize("args", [["frobnicate"], [], ["decode", "a", "b"]])
def test_usage_error(run, args):
    with pytest.raises(SystemExit) as exit_:
        run(args)
    assert exit_.value.code == 2


def test_version(run, capsysbinary):
    with pytest.raises(SystemExit) as exit_:
        run(["--version"])
    assert exit_.value.code == 0
    assert capsysbinary.readouterr().out == f"quelm {quelm.__version__}\n".encode()


def test_reads_a_named_file(run, tmp_path):
    path = tmp_path / "in.qlm"
    path.write_bytes(hexin("92 01 02"))
    assert run(["decode", str(path)])[:2] == (0, b"[1, 2]\n")


def _subprocess(args, data=b""):
    env = dict(os.environ)
    package_root = str(pathlib.Path(quelm.__file__).parents[1])
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", "quelm", *args], input=data,
                          capture_output=True, env=env, timeout=60)


def test_module_entry_point_round_trip():
    encoded = _subprocess(["encode", "--lines"], b'{"k": [1, "two", {"$bytes": "ff"}]}\n')
    assert encoded.returncode == 0 and encoded.stderr == b""
    decoded = _subprocess(["decode"], encoded.stdout)
    assert decoded.returncode == 0
    assert decoded.stdout == b'{"k": [1, "two", {"$bytes": "ff"}]}\n'


def test_module_entry_point_error_has_no_traceback():
    result = _subprocess(["inspect"], hexin("92 01 c1"))
    assert result.returncode == 1
    assert result.stderr == b"quelm: error at offset 2: invalid byte 0xc1 (it starts no value)\n"


@pytest.mark.skipif(not SAMPLE.exists(), reason="not run from a source tree")
def test_sample_file_inspects_and_decodes():
    inspected = _subprocess(["inspect", str(SAMPLE)])
    assert inspected.returncode == 0 and inspected.stderr == b""
    assert b"timestamp 96" in inspected.stdout and b"map 16" in inspected.stdout
    decoded = _subprocess(["decode", str(SAMPLE)])
    assert decoded.returncode == 0
    values = [json.loads(line) for line in decoded.stdout.splitlines()]
    with open(SAMPLE, "rb") as stream:
        assert len(values) == len(list(quelm.Unpacker(
            stream, strict_map_key=False, object_pairs_hook=list)))
