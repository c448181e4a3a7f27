"""The patcher's integer encodings, for the Python tools that write patch inputs."""


def varint(v):
    """An unsigned 32-bit value in seven-bit groups, low group first."""
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def zigzag(v):
    """A signed 32-bit value folded to unsigned (0, -1, 1, -2, ...) as a varint."""
    return varint(((v << 1) ^ (v >> 31)) & 0xFFFFFFFF)
