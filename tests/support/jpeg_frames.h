// Hand-built JPEG files whose header declares any size, for the tests and benchmarks of the
// NFT check: a few hundred bytes can declare 65500 x 65500 pixels or ask for hundreds of
// scans, which an encoder never writes but an attacker can.
#pragma once

#include <cstdint>

#include "core/bytes.h"

namespace testjpeg {

// Frame markers: baseline and progressive Huffman-coded, sequential and progressive
// arithmetic-coded.
inline constexpr uint8_t kBaseline = 0xC0;
inline constexpr uint8_t kProgressive = 0xC2;
inline constexpr uint8_t kArithmetic = 0xC9;
inline constexpr uint8_t kArithmeticProgressive = 0xCA;

struct Frame {
  uint8_t marker = kBaseline;
  uint16_t width = 8;
  uint16_t height = 8;
  // 1 for grey, 3 for colour; at most 4, the most one scan covers.
  uint8_t components = 1;
  // Scans written: one full scan for a sequential frame; for a progressive frame, DC scans
  // over every component, the first one and the rest repeating it.
  unsigned scans = 1;
  // Entropy-coded bytes written per scan for Huffman frames, where every block costs data;
  // 0 writes enough for every block of the declared size. Arithmetic frames write none: the
  // decoder reads zeros once it meets the next marker.
  unsigned scan_bytes = 0;
  // Progressive frames only: scans of coefficients 1 to 63 of the first component after the
  // DC scans, the first one and the rest repeating it.
  unsigned ac_scans = 0;
};

// A JPEG file with this frame; within bounds it decodes to a flat grey image.
Bytes frame(const Frame& f);

}  // namespace testjpeg
