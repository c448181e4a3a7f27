#!/usr/bin/env python3
"""Converts a patch of the bsdiff tool (BSDIFF40) into a method-0 VLDIFF10 diff.

usage: bsdiff2vldiff.py BSDIFF_PATCH NEW_FILE OUTPUT [--no-header]
The new file is needed only for the header's CRC.
"""
import bz2
import struct
import sys
import zlib

from vlvarint import varint, zigzag


def offtin(b):
    y = struct.unpack('<Q', b)[0]
    return -(y & ~(1 << 63)) if y & (1 << 63) else y


def checked_zigzag(v):
    if not -2**31 <= v < 2**31:
        raise SystemExit('control value %d does not fit 32 bits' % v)
    return zigzag(v)


def main():
    patch = open(sys.argv[1], 'rb').read()
    new = open(sys.argv[2], 'rb').read()
    if patch[:8] != b'BSDIFF40':
        raise SystemExit('not a bsdiff patch')
    ctrl_len, diff_len, new_size = (offtin(patch[i:i + 8]) for i in (8, 16, 24))
    ctrl = bz2.decompress(patch[32:32 + ctrl_len])
    diff = bz2.decompress(patch[32 + ctrl_len:32 + ctrl_len + diff_len])
    extra = bz2.decompress(patch[32 + ctrl_len + diff_len:])
    control = b''.join(checked_zigzag(offtin(ctrl[i:i + 8])) for i in range(0, len(ctrl), 8))

    out = bytearray()
    if '--no-header' not in sys.argv[4:]:
        out += b'VLDIFF10' + varint(zlib.crc32(new) ^ 0xFFFFFFFF)
    out += b'\x00' + varint(new_size)
    out += varint(len(control)) + varint(len(diff)) + varint(len(extra))
    out += control + diff + extra
    open(sys.argv[3], 'wb').write(out)


if __name__ == '__main__':
    main()
