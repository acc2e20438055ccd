"""Compressed files, told by their first bytes whatever their name: gzip and Zstandard read as
their text, other compressed and archive formats refused by name. (Every reader test that writes
its file through the `store` fixture also runs on the gzip-compressed file.)"""

import bz2
import gzip
import io
import lzma
import os
import shutil
import struct
import subprocess
import sys
import zipfile

import pytest

import kelvra

CSV = b"a,b\n1,x\n2,\"y,\nz\"\n3,w\n"
JSON = b'[{"a": 1, "b": "x"}, {"a": 2, "b": "y,\\nz"}, {"a": 3, "b": "w"}]'
CELLS = {"a": [1, 2, 3], "b": ["x", "y,\nz", "w"]}
READERS = {"csv": (kelvra.read_csv, CSV), "json": (kelvra.read_json, JSON)}


def zstd_frames(data: bytes, frames: int = 1) -> bytes:
    """Zstandard frames of raw (stored) blocks, the text split evenly among them."""
    out = b""
    step = -(-len(data) // frames) if data else 0
    for start in range(0, max(len(data), 1), max(step, 1)):
        part = data[start:start + step]
        # Single segment, a 4-byte content size, no checksum.
        out += b"\x28\xb5\x2f\xfd\xa0" + struct.pack("<I", len(part))
        blocks = [part[i:i + (1 << 17)] for i in range(0, len(part), 1 << 17)] or [b""]
        for i, block in enumerate(blocks):
            header = (len(block) << 3) | (i == len(blocks) - 1)
            out += header.to_bytes(3, "little") + block
    return out


def gzip_members(data: bytes, cuts) -> bytes:
    """gzip members one after another, the text split at the offsets in cuts."""
    bounds = [0, *cuts, len(data)]
    return b"".join(gzip.compress(data[a:b]) for a, b in zip(bounds, bounds[1:]))


def zstd_cli(data: bytes) -> bytes:
    if shutil.which("zstd") is None:
        pytest.skip("no zstd program to compress with")
    return subprocess.run(["zstd", "-q", "-c", "-3"], input=data, capture_output=True,
                          check=True).stdout


def table(df):
    return {name: df[name] for name in df.columns()}


ENCODINGS = {
    "gzip_one_member": lambda data: gzip.compress(data),
    # Members split inside a quoted field, with NUL padding between and after them.
    "gzip_members": lambda data: gzip_members(data, [9, 14]) + b"\0\0",
    "gzip_padded": lambda data: gzip.compress(data[:11]) + b"\0" * 5 + gzip.compress(data[11:]),
    "gzip_empty_members": lambda data: gzip.compress(b"") + gzip.compress(data) + gzip.compress(b""),
    "zstd_frames": lambda data: zstd_frames(data, 3),
    "zstd_compressed": zstd_cli,
}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("encoding", ENCODINGS)
def test_decoded_whatever_the_name(tmp_path, reader, encoding):
    read, data = READERS[reader]
    path = tmp_path / "data.txt"
    path.write_bytes(ENCODINGS[encoding](data))
    assert table(read(str(path))) == CELLS


def zip_bytes(data: bytes) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("data.csv", data)
    return buffer.getvalue()


REFUSED = {
    "zip": (zip_bytes, "is a zip archive: extract it first"),
    "bzip2": (bz2.compress, "is compressed with bzip2: decompress it first"),
    "bzip2_empty": (lambda data: bz2.compress(b""), "is compressed with bzip2: decompress it first"),
    "xz": (lzma.compress, "is compressed with xz: decompress it first"),
}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("kind", REFUSED)
def test_other_formats_refused_by_name(tmp_path, reader, kind):
    read, data = READERS[reader]
    encode, what = REFUSED[kind]
    path = tmp_path / "data.csv"
    path.write_bytes(encode(data))
    with pytest.raises(ValueError) as info:
        read(str(path))
    assert str(info.value) == (f"{path} {what} (gzip and Zstandard files are read as they are)")


# Text that begins like a compressed format's magic without being one reads as it always did.
@pytest.mark.parametrize("data", [b"\x1f,b\n1,2\n", b"BZh,b\n1,2\n", b"BZh9,b\n1,2\n",
                                  b"PK,b\n1,2\n", b"(\xb5,b\n1,2\n", b"\xfd7zX,b\n1,2\n"])
def test_text_like_a_magic_stays_text(tmp_path, data):
    path = tmp_path / "data.csv"
    path.write_bytes(data)
    df = kelvra.read_csv(str(path))
    assert df.shape() == (1, 2) and df["b"] == [2]


GZIP = gzip.compress(CSV * 200, mtime=0)
ZSTD = zstd_frames(CSV * 200, 2)

# A stream cut short, at its start, in its header, inside its data and in its trailer: never a
# shorter table. The offset is where the file ends.
TRUNCATED = [("gzip", GZIP, cut) for cut in (2, 9, len(GZIP) // 2, len(GZIP) - 1)] + [
    ("Zstandard", ZSTD, cut) for cut in (4, 8, len(ZSTD) // 2 + 7, len(ZSTD) - 1)
]


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize(("form", "stream", "cut"), TRUNCATED)
def test_truncated_stream(tmp_path, reader, form, stream, cut):
    read, _ = READERS[reader]
    path = tmp_path / "cut.gz"
    path.write_bytes(stream[:cut])
    with pytest.raises(ValueError) as info:
        read(str(path))
    assert str(info.value) == (f"{path}: truncated {form} data: the file ends at byte {cut} "
                               "inside a compressed stream")


def flipped(data: bytes, at: int) -> bytes:
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


CORRUPT = {
    "deflate_data": (flipped(GZIP, 12), "invalid"),
    "crc": (flipped(GZIP, len(GZIP) - 6), "check"),
    "length": (flipped(GZIP, len(GZIP) - 2), "check"),
    "bytes_after_member": (GZIP + b"trailing bytes, not a member", "incorrect header check"),
    "zstd_block_type": (ZSTD[:9] + bytes([ZSTD[9] | 0x06]) + ZSTD[10:], ""),
    "zstd_bytes_after_frame": (ZSTD + b"trailing", ""),
}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("kind", CORRUPT)
def test_corrupt_stream(tmp_path, reader, kind):
    read, _ = READERS[reader]
    data, what = CORRUPT[kind]
    path = tmp_path / "bad.gz"
    path.write_bytes(data)
    with pytest.raises(ValueError) as info:
        read(str(path))
    message = str(info.value)
    form = "Zstandard" if kind.startswith("zstd") else "gzip"
    assert message.startswith(f"{path}: corrupt {form} data at byte "), message
    offset = int(message.split(" at byte ")[1].split(":")[0])
    assert 0 <= offset <= len(data) and what in message


# A small file whose text is many times larger than the readers' first buffer and its blocks.
@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("level", [1, 9])
def test_text_grows_past_the_buffer(tmp_path, reader, level):
    rows = 600_000
    if reader == "csv":
        data = b"a,b\n" + b"7,seven\n" * rows
    else:
        data = b"[" + b",".join([b'{"a": 7, "b": "seven"}'] * rows) + b"]"
    path = tmp_path / "big.gz"
    path.write_bytes(gzip.compress(data, compresslevel=level))
    read, _ = READERS[reader]
    df = read(str(path))
    assert df.shape() == (rows, 2) and df["b"][-1] == "seven" and df["a"][0] == 7


# A size that a forged gzip trailer or Zstandard frame header declares is not believed past what
# its stored bytes could hold: the read reserves no such room (here, with the address space held
# to 2 GiB more than the interpreter has mapped, a reservation of 4 GiB would fail) and reports
# the forged stream.
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="the sanitizer reserves terabytes")
@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("form", ["gzip", "zstd"])
def test_forged_declared_size(tmp_path, reader, form):
    _, data = READERS[reader]
    stored = bytearray(gzip.compress(data) if form == "gzip" else zstd_frames(data))
    at = len(stored) - 4 if form == "gzip" else 5
    stored[at:at + 4] = struct.pack("<I", 0xFFFFFFF0)
    path = tmp_path / "forged"
    path.write_bytes(stored)
    code = ("import resource, kelvra\n"
            "mapped = next(int(line.split()[1]) << 10 for line in open('/proc/self/status')\n"
            "              if line.startswith('VmSize:'))\n"
            "resource.setrlimit(resource.RLIMIT_AS, (mapped + (2 << 30), mapped + (2 << 30)))\n"
            f"try:\n    kelvra.read_{reader}({str(path)!r})\n"
            "except ValueError as e:\n    print('ValueError:', e)\n")
    done = subprocess.run([sys.executable, "-Wignore", "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"ValueError: {path}: corrupt "), done.stdout


# A table whose first column name begins like a compressed file (the magics that UTF-8 text can
# begin with) is written with that name quoted, so that the file reads back as the text it is.
@pytest.mark.parametrize("magic", ["PK\x03\x04", "BZh91AY&SY"])
def test_first_name_like_a_magic_round_trips(tmp_path, magic):
    name = magic + "x"
    df = kelvra.DataFrame()
    df[name] = [1, 2]
    df["b"] = ["p", "q"]
    path = tmp_path / "out.csv"
    df.to_csv(str(path))
    back = kelvra.read_csv(str(path))
    assert back.columns() == [name, "b"] and back[name] == [1, 2]
