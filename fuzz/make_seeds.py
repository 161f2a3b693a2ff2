#!/usr/bin/env python3
"""Writes the small seed corpora of the fuzz targets into fuzz/corpus/.

Run again after changing a target's input layout; the seeds are committed.
"""
import os
import random
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def frame(message_id, body, length=None):
    if length is None:
        length = len(body)
    return struct.pack("<ii", message_id, length) + body


def server_stream(*pieces):
    """One zlib stream, sync-flushed after every piece, as the server sends it."""
    deflater = zlib.compressobj(zlib.Z_DEFAULT_COMPRESSION, zlib.DEFLATED, 15, 8)
    out = b""
    for piece in pieces:
        out += deflater.compress(piece) + deflater.flush(zlib.Z_SYNC_FLUSH)
    return out


def main():
    rng = random.Random(9339)

    # Chunk-size header (count, then sizes - 1), then the raw stream.
    replies = [frame(1, b"SESSION ID\r\n42\r\n"), frame(8, b"CORVANE-main\r\nw_id=1&symbol=ABC\r\n"),
               frame(8, b""), frame(7, b"pong"), frame(0, b"ignored"), frame(-3, b"x"), frame(99, b"y")]
    write("fuzz_conversation_raw", "frames_one_chunk", b"\x00" + server_stream(*replies))
    write("fuzz_conversation_raw", "frames_small_chunks", b"\x03\x00\x06\x1f" + server_stream(*replies))
    write("fuzz_conversation_raw", "frames_split_pieces",
          b"\x01\x0f" + server_stream(replies[0][:5], replies[0][5:] + replies[1], b"".join(replies[2:])))
    write("fuzz_conversation_raw", "negative_length", b"\x00" + server_stream(frame(6, b"ok"), frame(5, b"", -1)))
    write("fuzz_conversation_raw", "huge_length", b"\x00" + server_stream(frame(5, b"", 0x7FFFFFF0)))
    write("fuzz_conversation_raw", "corrupt_stream", b"\x00" + server_stream(frame(1, b"a"))[:6] + b"\xff\xfe\xfd")
    write("fuzz_conversation_raw", "data_after_end",
          b"\x00" + zlib.compress(frame(1, b"done")) + server_stream(frame(8, b"late")))
    write("fuzz_conversation_raw", "preset_dictionary", b"\x00\x78\xbb\x00\x00\x00\x01\x03\x00")

    # The structured targets read their input through FuzzedDataProvider:
    # any bytes are a valid program, so random seeds of a few sizes do.
    for target in ("fuzz_conversation_frames", "fuzz_alert_windows", "fuzz_hash_table"):
        for size in (16, 64, 256, 1024):
            write(target, "random_%d" % size, bytes(rng.randrange(256) for _ in range(size)))

    for name, data in (("empty", b""), ("abc", b"abc"), ("a", b"a"), ("ab", b"ab"), ("abcd", b"abcd"),
                       ("zero", b"\x00"), ("ones", b"\xff\xff\xff"),
                       ("random", bytes(rng.randrange(256) for _ in range(100)))):
        write("fuzz_p64", name, data)

    write("fuzz_settings_file", "layout",
          b"; Corvane Trading Alerts settings.\n\n[Main]\n\"Username\"=\"trader\"\n\n"
          b"[Window1]\n\"Left\"=dword:00000064\n\"Top\"=dword:ffffffff\n\"Visible\"=\"1\"\n")
    write("fuzz_settings_file", "escapes",
          b"[Odd]\n\"quote\\\"name\"=\"back\\\\slash\\x0d\\x0a\"\n\"empty\"=\"\"\n\"n\"=dword:7fffffff\r\n")
    write("fuzz_settings_file", "sections",
          b"[a/b]\n\"c/d\"=\"e\"\n[a]b]\n\"x\"=\"\\x00\"\n[\xc3\xa9t\xc3\xa9]\n\"\xff\"=\"\xfe\"\n")
    write("fuzz_settings_file", "rejected", b"\"no section\"=\"x\"\n")
    # Found by fuzzing: a section starting with "/" was accepted but written back as "[]".
    write("fuzz_settings_file", "regression_section_leading_slash", b"[/ab]/b]\n\"c\"=\"\"\n")


if __name__ == "__main__":
    main()
