#!/usr/bin/env python3
"""Writes the seeds of the patcher's fuzz targets (tests/fuzz/seeds/) and the regression inputs
of its readers (tests/data/regressions/), which the ordinary tests replay.

usage: tests/fuzz/make_patcher_seeds.py   (from the repository root)
"""
import lzma
import os
import struct
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from vlvarint import varint, zigzag  # noqa: E402


def stream_set(streams):
    return b'\xEA\x9A\xCA\x09' + varint(len(streams)) + b''.join(varint(len(s)) for s in streams) + b''.join(streams)


def lzma2_block(data):
    f = {'id': lzma.FILTER_LZMA2, 'preset': 6}
    return (lzma._encode_filter_properties(f) + varint(len(data)) +
            lzma.compress(data, format=lzma.FORMAT_RAW, filters=[f]))


def raw_body(triples, diff, extra):
    control = b''.join(zigzag(v) for t in triples for v in t)
    return varint(len(control)) + varint(len(diff)) + varint(len(extra)) + control + diff + extra


def patch_input(old, diff, header=False):
    return bytes([1 if header else 0]) + varint(len(old)) + old + diff


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), 'wb') as f:
        f.write(data)


seeds = 'tests/fuzz/seeds'
regressions = 'tests/data/regressions'
text = b'voxlane patch stream block ' * 40

# Stream sets: an empty ten-stream set, and one holding two nested sets.
write(seeds + '/streamset', 'empty_ten.bin', stream_set([b''] * 10))
nested0 = varint(3) + varint(0) + varint(0) + varint(3)
nested1 = varint(1) + varint(1) + b'q'
write(seeds + '/streamset', 'nested.bin', stream_set([nested0 + nested1, b'', b'xyz']))
# Lengths whose sum passes 32 bits must not wrap around to the real rest of the buffer.
write(regressions + '/streamset', 'lengths_overflow_32_bits.bin',
      b'\xEA\x9A\xCA\x09\x02\xFF\xFF\xFF\xFF\x0F\x02xy')

# LZMA2 blocks: one text block followed by an empty one.
write(seeds + '/lzma2block', 'two_blocks.bin', lzma2_block(text) + lzma2_block(b''))
# A 4 GiB size announced over a few bytes, with the largest dictionary: refused before reserving.
write(regressions + '/lzma2block', 'huge_size_tiny_data.bin', b'\x28' + varint(0xFFFFFFFF) + b'\x01\x00\x00\x00')
write(regressions + '/lzma2block', 'property_above_40.bin', b'\x29' + varint(3) + b'\x01\x00\x02abc\x00')

# VLDIFF10 diffs applied to small old data.
old = bytes(range(64)) * 4
new = bytes((b + 1) & 0xFF for b in old[:100]) + b'inserted' + old[100:]
body = raw_body([(100, 8, 0), (len(old) - 100, 0, 0)], b'\x01' * 100 + b'\x00' * (len(old) - 100), b'inserted')
crc = zlib.crc32(new) ^ 0xFFFFFFFF
write(seeds + '/binarypatch', 'method0.bin', patch_input(old, b'\x00' + varint(len(new)) + body))
write(seeds + '/binarypatch', 'method0_header.bin',
      patch_input(old, b'VLDIFF10' + varint(crc) + b'\x00' + varint(len(new)) + body, header=True))
write(seeds + '/binarypatch', 'method2.bin', patch_input(old, b'\x02' + varint(len(new)) + lzma2_block(body)))
control = b''.join(zigzag(v) for t in [(100, 8, 0), (len(old) - 100, 0, 0)] for v in t)
write(seeds + '/binarypatch', 'method1.bin',
      patch_input(old, b'\x01' + varint(len(new)) + lzma2_block(control) +
                  lzma2_block(b'\x01' * 100 + b'\x00' * (len(old) - 100)) + lzma2_block(b'inserted')))
# A 4 GiB new size over a few parts: refused before the output is reserved.
write(regressions + '/binarypatch', 'new_size_beyond_parts.bin',
      patch_input(old, b'\x00' + varint(0xFFFFFFFF) + raw_body([(1, 1, 0)], b'\x00', b'\x00')))
# Diff bytes that would take the output past the new size.
write(regressions + '/binarypatch', 'diff_past_new_size.bin',
      patch_input(old, b'\x00' + varint(2) + raw_body([(3, 0, 0)], b'\x00\x00\x00', b'')))
# Seeks that push the old position past the 32-bit range.
write(regressions + '/binarypatch', 'seek_overflow.bin',
      patch_input(old, b'\x00' + varint(3) + raw_body([(1, 0, 0x7FFFFFFF), (1, 0, 0x7FFFFFFF), (1, 0, 0)],
                                                      b'\x00\x00\x00', b'')))
# Method 2 whose one block announces 4 GiB.
write(regressions + '/binarypatch', 'method2_huge_block.bin',
      patch_input(old, b'\x02' + varint(10) + b'\x28' + varint(0xFFFFFFFF) + b'\x01\x00\x00\x00'))

# Containers: a plain one, and a preprocessed one whose program is the encoded-program seed and
# whose diff rebuilds an empty file from it.
def container(crc, directive, payload):
    return varint(132781929) + varint(crc) + varint(directive) + lzma2_block(payload)


write(seeds + '/container', 'plain.bin', container(zlib.crc32(text) ^ 0xFFFFFFFF, 1, text))
with open(seeds + '/encoded_program/pe_program.bin', 'rb') as f:
    program = f.read()
write(seeds + '/container', 'preprocessed.bin',
      container(0, 2, stream_set([program, b'\x00' + varint(0) + raw_body([], b'', b'')])))


# Ensemble patches behind their old data (see FuzzEnsemblePatch): one without elements, and one
# that claims an element in data that is no executable.
def ensemble(old, new, streams, final_size):
    header = (varint(7696195) + varint(20110216) + varint(zlib.crc32(old) ^ 0xFFFFFFFF) +
              varint(zlib.crc32(new) ^ 0xFFFFFFFF) + varint(final_size))
    return varint(len(old)) + old + header + lzma2_block(stream_set(streams))


def identity(data):
    return b'\x00' + varint(len(data)) + raw_body([(len(data), 0, 0)], b'\x00' * len(data), b'')


def predicted(n):
    return stream_set([b'\x00' * n] + [b''] * 9)


old = text[:300]
new = text[:100] + b'changed' + text[200:300]
final = b'\x00' + varint(len(new)) + raw_body([(100, 7, 100), (100, 0, 0)], b'\x00' * 200, b'changed')
write(seeds + '/ensemblepatch', 'no_elements.bin',
      ensemble(old, new, [b'\x00', identity(predicted(0)), identity(predicted(0)), final], len(old)))
write(seeds + '/ensemblepatch', 'data_element.bin',
      ensemble(old, new, [varint(1) + varint(5) + varint(0) + varint(300), identity(predicted(1)),
                          identity(stream_set([b''] * 10)), final], len(old)))
# A final input size of 4 GiB over a small old file: reserved only as far as the data can reach.
write(regressions + '/ensemblepatch', 'huge_final_input_size.bin',
      ensemble(old, new, [b'\x00', identity(predicted(0)), identity(predicted(0)), final], 0xFFFFFFFF))
write(regressions + '/container', 'one_stream_payload.bin', container(0, 2, stream_set([program])))


# Executables: 32-bit x86 ELF images whose one PT_LOAD segment maps the whole file at address 0,
# so that addresses equal file offsets. `sections` are (type, offset, size, entsize) after the
# null section; `body` starts right after the ELF and program headers, at offset 84.
def elf32_x86(body, sections):
    shoff = (84 + len(body) + 3) & ~3
    size = shoff + 40 * (len(sections) + 1)
    header = (b'\x7fELF\x01\x01\x01' + bytes(9) +
              struct.pack('<HHIIIIIHHHHHH', 2, 3, 1, 0, 52, shoff, 0, 52, 32, 1, 40, len(sections) + 1, 0))
    load = struct.pack('<8I', 1, 0, 0, 0, size, size, 5, 0x1000)
    table = bytes(40) + b''.join(struct.pack('<10I', 0, kind, 0, offset, offset, length, 0, 0, 4, entsize)
                                 for kind, offset, length, entsize in sections)
    return header + load + body + bytes(shoff - 84 - len(body)) + table


# Thousands of relocation sections that all cover one table of R_386_RELATIVE entries: each would
# add the whole table to the abs32 list again.
relocations = 20000
write(regressions + '/executable', 'relocation_sections_sharing_entries.elf',
      elf32_x86(struct.pack('<II', 84, 8) * relocations, [(9, 84, 8 * relocations, 8)] * 5000))

# An ensemble whose elements each claim the whole old file, a small ELF full of calls: every
# element would disassemble and encode it again.
code = (b'\xe8\x00\x00\x00\x00' + b'\x90' * 11) * 1024
small_elf = elf32_x86(code, [(1, 84, len(code), 0)])
elements = 32768
parameters = varint(elements) + varint(2) * elements + (varint(0) + varint(len(small_elf))) * elements
write(regressions + '/ensemblepatch', 'elements_covering_the_whole_file.bin',
      ensemble(small_elf, small_elf, [parameters, identity(predicted(elements)), b'', b''], len(small_elf)))
