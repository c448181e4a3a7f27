#!/usr/bin/env python3
"""Writes a ._lzma2_ container in the executable form (directive 2) whose one encoded program
announces far more than a real executable holds: ADDRESSES 4-byte address operations (ABS32,
each with its relocation entry), REL32 relative ones, and label tables of LABELS entries, with
the relocation tables that --table asks for. Every count costs one byte in the payload, and the
payload is LZMA2 chunks of repeated bytes, each run packed once and sent again as often as it
repeats: 150 MB of payload come to about 30 KB. The diff rebuilds an empty file, so that a
decoder that assembles the program to the end still fails on the CRC; with --packed-diff it is
packed (method 2) in a block that unpacks to that many zero bytes. With --diff-tail the diff's
stream goes on for that many 0xFF bytes that the diff never reads: a decoder holds them all the
same, each page of them written.

    craftedprogram.py --addresses N [--rel32 N] [--labels N] [--table none|elf|pe|both]
                      [--packed-diff BYTES] [--diff-tail BYTES] OUTPUT
"""
import argparse
import lzma

from vlvarint import varint

CONTAINER_MAGIC = 132781929
STREAM_SET_MAGIC = 20090218
ABS32, REL32 = 4, 3
TABLE_OPS = {"none": b"", "elf": b"\x06", "pe": b"\x05", "both": b"\x05\x06"}
# Runs are packed in pieces of this size, each starting with a dictionary reset, so that pieces
# can be sent one after another and a 2 MiB dictionary (property 18) holds every piece.
PIECE = 1 << 20
PROPERTY = 18


def packed(data):
    """One raw LZMA2 stream of the bytes, without its end marker."""
    stream = lzma.compress(data, format=lzma.FORMAT_RAW,
                           filters=[{"id": lzma.FILTER_LZMA2, "preset": 6, "dict_size": PIECE}])
    assert stream[-1] == 0
    return stream[:-1]


def size(parts):
    """Parts are bytes, or (value, count) runs of one byte value."""
    return sum(len(p) if isinstance(p, bytes) else p[1] for p in parts)


def block(parts):
    """An LZMA2 block of the parts: property, unpacked size, chunks and the end marker."""
    chunks = bytearray()
    literal = b""
    for part in parts + [(0, 0)]:
        if isinstance(part, bytes):
            literal += part
            continue
        if literal:
            chunks += packed(literal)
            literal = b""
        whole, rest = divmod(part[1], PIECE)
        chunks += packed(bytes([part[0]]) * PIECE) * whole if whole else b""
        chunks += packed(bytes([part[0]]) * rest) if rest else b""
    return bytes([PROPERTY]) + varint(size(parts)) + bytes(chunks) + b"\0"


def stream_set_header(lengths):
    return varint(STREAM_SET_MAGIC) + varint(len(lengths)) + b"".join(varint(n) for n in lengths)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--addresses", type=int, required=True)
    parser.add_argument("--rel32", type=int, default=0)
    parser.add_argument("--labels", type=int, default=0)
    parser.add_argument("--table", choices=sorted(TABLE_OPS), default="elf")
    parser.add_argument("--packed-diff", type=int, default=0)
    parser.add_argument("--diff-tail", type=int, default=0)
    parser.add_argument("output")
    args = parser.parse_args()

    table = TABLE_OPS[args.table]
    abs32_labels = max(args.labels, 1 if args.addresses else 0)
    rel32_labels = max(args.labels, 1 if args.rel32 else 0)
    # The nine streams of the program; every operand names label 0, every label is at RVA 0.
    streams = [
        [varint(0) + varint(0)],  # image base, no origins
        [varint(len(table) + args.addresses + args.rel32) + table, (ABS32, args.addresses), (REL32, args.rel32)],
        [varint(0)],  # no copy bytes
        [varint(args.addresses), (0, args.addresses)],
        [varint(args.rel32), (0, args.rel32)],
        [varint(abs32_labels), (0, abs32_labels)],
        [varint(rel32_labels), (0, rel32_labels)],
        [varint(0)],  # no copy counts
        [],
    ]
    program_header = stream_set_header([size(s) for s in streams])
    if args.packed_diff:
        diff = bytes([2]) + varint(0) + block([(0, args.packed_diff)])
    else:
        # Method 0, an empty new file, and empty control, diff and extra parts.
        diff = bytes([0]) + varint(0) * 4
    program_length = len(program_header) + sum(size(s) for s in streams)
    payload = [stream_set_header([program_length, len(diff) + args.diff_tail]) + program_header]
    payload += [part for stream in streams for part in stream] + [diff, (0xFF, args.diff_tail)]

    # The CRC of an empty file is 0xFFFFFFFF.
    wrong_crc = 0
    with open(args.output, "wb") as out:
        out.write(varint(CONTAINER_MAGIC) + varint(wrong_crc) + varint(2) + block(payload))


if __name__ == "__main__":
    main()
