// The patcher's readers driven by arbitrary bytes: shared by the libFuzzer targets and by the
// ordinary tests that replay the saved regression inputs.
#pragma once

#include <cstddef>
#include <cstdint>

// The bytes as a stream set, then as nested sets read out of it.
void FuzzStreamSet(const uint8_t* data, std::size_t size);
// The bytes as a sequence of LZMA2 blocks.
void FuzzLzma2Block(const uint8_t* data, std::size_t size);
// A flag byte (bit 0: with header), a varint32 old length, the old bytes, then a VLDIFF10 diff.
void FuzzBinaryPatch(const uint8_t* data, std::size_t size);
// The bytes as a ._lzma2_ container.
void FuzzContainer(const uint8_t* data, std::size_t size);
// A varint32 old length, the old bytes, then an ensemble patch whose source CRC is set to the old
// bytes' CRC, so that mutations reach the body instead of stopping at the CRC check.
void FuzzEnsemblePatch(const uint8_t* data, std::size_t size);
// Detection and disassembly: a status of 1, 24 or 25, never a crash, and a detected program must
// go through the whole chain an ensemble element takes; aborts when a status breaks that rule.
void FuzzExecutable(const uint8_t* data, std::size_t size);
