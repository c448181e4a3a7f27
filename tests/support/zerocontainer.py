#!/usr/bin/env python3
"""Writes a ._lzma2_ container whose payload block is one LZMA2 chunk of zeros repeated, made
by python's lzma: a few hundred bytes per 2 MiB, so a small file can announce and really hold
gigabytes. Up to 1 GiB the CRC field is that of the zeros, so a directive-1 container is a
valid one; above, computing it would take longer than the tests that refuse such sizes, and
the field is 0.

    zerocontainer.py --chunks N [--directive 1|2] OUTPUT
"""
import argparse
import lzma
import zlib

from vlvarint import varint

MAGIC = 132781929
# A dictionary of 2 MiB holds every chunk.
PROPERTY = 18


def zeros_chunk():
    """One chunk that resets everything and unpacks to zeros, and its unpacked size."""
    size = 2 << 20
    while True:
        stream = lzma.compress(bytes(size), format=lzma.FORMAT_RAW,
                               filters=[{"id": lzma.FILTER_LZMA2, "preset": 9}])
        chunk_size = 6 + (stream[3] << 8) + stream[4] + 1
        if chunk_size + 1 == len(stream):
            return stream[:chunk_size], size
        size = ((stream[0] & 0x1F) << 16) + (stream[1] << 8) + stream[2] + 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--chunks", type=int, required=True)
    parser.add_argument("--directive", type=int, default=1)
    parser.add_argument("output")
    args = parser.parse_args()
    chunk, size = zeros_chunk()
    total = size * args.chunks
    crc = 0xFFFFFFFF
    if total <= 1 << 30:
        block = memoryview(bytes(size))
        crc = 0
        for _ in range(args.chunks):
            crc = zlib.crc32(block, crc)
    with open(args.output, "wb") as out:
        out.write(varint(MAGIC) + varint(~crc & 0xFFFFFFFF) + varint(args.directive))
        out.write(bytes([PROPERTY]) + varint(total))
        out.write(chunk * args.chunks + b"\0")


if __name__ == "__main__":
    main()
