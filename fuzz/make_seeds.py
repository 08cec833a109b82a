#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are committed; this script documents how they were made and remakes them:
    python3 fuzz/make_seeds.py
"""
import io
import os
import struct
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
VERSION_MARKER = b"QVRT_VERSION_PATT:"
EXTRA_TOOL_MARKER = b"QVRT_EXTRA_TOOL_PATT:"
STUB = b"\x7fELF" + bytes(range(60))  # Stands in for the executable image.


def field(text, size):
    return text[:size].ljust(size, b"\0")


def trailer(command, length, extra=None, version=b"2.0"):
    out = field(command, 256) + struct.pack(">I", length)
    if extra is not None:
        out += field(EXTRA_TOOL_MARKER, 32) + field(extra, 256)
    return out + field(VERSION_MARKER, 32) + field(version, 8)


def zip_bytes(entries, compression=zipfile.ZIP_DEFLATED):
    """entries: (name, data, unix_mode) tuples; a name ending in "/" is a directory."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression) as archive:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 4, 4, 20, 31, 8))
            info.create_system = 3
            info.external_attr = mode << 16
            info.compress_type = compression
            archive.writestr(info, data)
    return buffer.getvalue()


def write(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as out:
        out.write(data)


def trailer_seeds():
    small = zip_bytes([("run.sh", b"#!/bin/sh\necho ok\n", 0o100755)])
    command = b"run.sh %argv%"
    plain = STUB + small + trailer(command, len(small))
    write("trailer", "plain", plain)
    write("trailer", "extra_tool", STUB + small + trailer(command, len(small), b"tool %device%"))
    write("trailer", "trailing_bytes", plain + b"\x01\x02\x03\x04\x05")
    write("trailer", "version_2_1", STUB + small + trailer(command, len(small), version=b"2.1"))
    write("trailer", "version_8_bytes", STUB + small + trailer(command, len(small), version=b"2.0.0.0."))
    write("trailer", "marker_not_terminated",
          STUB + small + trailer(command, len(small))[:-40] + VERSION_MARKER + b"X" * 14 + field(b"2.0", 8))
    write("trailer", "two_markers", plain + trailer(b"second", 0))
    write("trailer", "length_too_large", STUB + small + trailer(command, 0xFFFFFFF0))
    write("trailer", "empty_archive", STUB + trailer(command, 0))
    write("trailer", "marker_only", field(VERSION_MARKER, 32) + field(b"2.0", 8))
    write("trailer", "short_version", STUB + field(VERSION_MARKER, 32) + b"2.")
    write("trailer", "full_fields", STUB + small + trailer(b"c" * 256, len(small), b"e" * 256))
    # Filler form (see trailer_fuzzer.cc): 300 KiB of trailing bytes behind the trailer, so the
    # marker lies beyond the readers' first block.
    filler = 300 * 1024
    write("trailer", "filler_trailing",
          bytes([0xF5]) + filler.to_bytes(3, "big") + len(plain).to_bytes(2, "big") + b"\xAA" + plain)
    write("trailer", "filler_no_marker",
          bytes([0xF5]) + filler.to_bytes(3, "big") + b"\x00\x10" + b"\x00" + VERSION_MARKER + b"!")


def extract_seeds():
    write("extract", "files", zip_bytes([
        ("run.sh", b"#!/bin/sh\necho ok\n", 0o100755),
        ("data/info.txt", b"hello\n" * 20, 0o100644),
        ("data/sub/deep.bin", bytes(range(256)), 0o100600),
    ]))
    write("extract", "stored", zip_bytes([("a.txt", b"stored text\n", 0o100644)], zipfile.ZIP_STORED))
    write("extract", "directories", zip_bytes([
        ("dir/", b"", 0o040755), ("dir/inner/", b"", 0o040700), ("dir/inner/f", b"x", 0o104755),
    ]))
    write("extract", "backslash", zip_bytes([("win\\path\\f.txt", b"b", 0o100644), ("d\\", b"", 0)]))
    write("extract", "dot_dot", zip_bytes([("../escape.txt", b"out", 0o100644),
                                           ("a/../../b.txt", b"out", 0o100644)]))
    write("extract", "absolute", zip_bytes([("/tmp/sfx_fuzz_absolute.txt", b"out", 0o100644)]))
    write("extract", "symlink_mode", zip_bytes([("link", b"/etc/passwd", 0o120777),
                                                ("link/x", b"through", 0o100644)]))
    write("extract", "empty_name", zip_bytes([("", b"", 0), ("ok", b"k", 0o100644)]))
    write("extract", "long_name", zip_bytes([("n" * 300, b"long", 0o100644)]))
    write("extract", "no_entries", zip_bytes([]))
    bad_crc = bytearray(zip_bytes([("c.txt", b"checked data\n", 0o100644)], zipfile.ZIP_STORED))
    bad_crc[30 + len("c.txt")] ^= 0xFF  # First data byte: the CRC no longer matches.
    write("extract", "bad_crc", bytes(bad_crc))


def expand_seeds():
    # Fields separated by NUL: template, passthrough_args, cwd, device_option, payload_dir, then
    # the extra-tool commands.
    def seed(*fields):
        return b"\0".join(fields)

    shipped = (b"trevalo -u --log-on-update --ssl-certificate %ca-bundle.crt% %current-dir%  %argv%")
    write("expand", "shipped", seed(shipped, b"-d 03:00.0 -y", b"/home/user", b"-d 03:00.0",
                                    b"/tmp/sfxter_Ab12Cd/fwpkg-dir", b"tool2 %device% --reset"))
    write("expand", "self_reference", seed(b"%argv% %argv%", b"%argv%", b"/%current-dir%",
                                           b"-d %device%", b"/p/%ca-bundle.crt%", b"%device%%device%"))
    write("expand", "boundary", seed(b"%ar%argv%v% %current%argv%dir%", b"g", b"/", b"", b"/p"))
    write("expand", "quotes", seed(b"run %current-dir% %ca-bundle.crt%", b"'a' \"b\"", b"/a \"b\" $c",
                                   b"-d `x`", b"/w/\\d"))
    write("expand", "empty", seed(b"", b"", b"", b"", b""))


def entry_data_seeds():
    # Header: method and placement, declared size (3 bytes), stored CRC-32 (4 bytes), how far
    # the declared compressed size runs past the data; then the raw data.
    import random
    import zlib

    def seed(flags, plain, raw, crc=None, size=None, beyond=0):
        size = len(plain) if size is None else size
        crc = zlib.crc32(plain) if crc is None else crc
        return bytes([flags]) + size.to_bytes(3, "little") + struct.pack("<I", crc) + bytes(
            [beyond]) + raw

    def deflate(plain, level=6, strategy=zlib.Z_DEFAULT_STRATEGY):
        compressor = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
        return compressor.compress(plain) + compressor.flush()

    text = b"".join(b"line %d of the device list: port %d\n" % (i, i * 7) for i in range(3000))
    noise = random.Random(5).randbytes(70000)
    write("entry_data", "deflated", seed(0, text, deflate(text)))
    write("entry_data", "deflated_fixed", seed(0, text[:5000], deflate(text[:5000], 9, zlib.Z_FIXED)))
    write("entry_data", "deflated_stored_blocks", seed(0, noise, deflate(noise, 0)))
    write("entry_data", "deflated_mixed", seed(2, text + noise, deflate(text + noise, 1)))
    write("entry_data", "deflated_cut", seed(0, text[:1000], deflate(text)))
    write("entry_data", "deflated_short", seed(2, text, deflate(text)[:-40], beyond=40))
    write("entry_data", "stored", seed(1, text[:4000], text[:4000]))
    write("entry_data", "stored_past_end", seed(3, text[:4000], text[:3000], beyond=200))
    write("entry_data", "empty", seed(0, b"", deflate(b"")))


def signature_block_seeds():
    # The block's text as sfx_pack signs: four minisign lines and the 32-byte footer.
    import base64

    def block(comment, line=None, global_signature=bytes([0x5A]) * 64):
        line = line if line is not None else b"ED" + bytes(range(0x10, 0x18)) + bytes(
            (i * 3) % 256 for i in range(64))
        text = (b"untrusted comment: signature from sfx_pack secret key\n" +
                base64.b64encode(line) + b"\n" + b"trusted comment: " + comment + b"\n" +
                base64.b64encode(global_signature) + b"\n")
        length = len(text) + 32
        return text + (b"SFX-SIGNATURE-BLOCK/1 %09d" % length).ljust(31) + b"\n"

    write("signature_block", "signed", block(b"timestamp:1700000000 file:app.run"))
    write("signature_block", "empty_comment", block(b""))
    write("signature_block", "other_algorithm", block(b"x", line=b"Ed" + bytes(72)))
    write("signature_block", "footer_only", b"SFX-SIGNATURE-BLOCK/1 000000032".ljust(31) + b"\n")


if __name__ == "__main__":
    trailer_seeds()
    extract_seeds()
    expand_seeds()
    entry_data_seeds()
    signature_block_seeds()
