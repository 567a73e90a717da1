#include "jpeg_frames.h"

namespace testjpeg {

namespace {

void segment(Bytes& out, uint8_t marker, const Bytes& body) {
  size_t len = body.size() + 2;
  out.insert(out.end(), {0xFF, marker, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
  out.insert(out.end(), body.begin(), body.end());
}

bool huffman(uint8_t marker) { return marker == kBaseline || marker == kProgressive; }

}  // namespace

Bytes frame(const Frame& f) {
  Bytes out = {0xFF, 0xD8};
  // One quantisation table of ones.
  Bytes dqt = {0x00};
  dqt.resize(65, 1);
  segment(out, 0xDB, dqt);

  Bytes sof = {8,
               static_cast<uint8_t>(f.height >> 8),
               static_cast<uint8_t>(f.height),
               static_cast<uint8_t>(f.width >> 8),
               static_cast<uint8_t>(f.width),
               f.components};
  for (uint8_t c = 1; c <= f.components; ++c) sof.insert(sof.end(), {c, 0x11, 0});
  segment(out, f.marker, sof);

  if (huffman(f.marker)) {
    // DC table 0 and AC table 0, each one code of one bit: DC difference 0 and end of block.
    Bytes dht = {0x00, 1};
    dht.resize(17, 0);
    dht.push_back(0x00);
    Bytes ac = {0x10, 1};
    ac.resize(17, 0);
    ac.push_back(0x00);
    dht.insert(dht.end(), ac.begin(), ac.end());
    segment(out, 0xC4, dht);
  }

  const bool progressive = f.marker == kProgressive || f.marker == kArithmeticProgressive;
  const uint64_t component_blocks = uint64_t{(f.width + 7u) / 8u} * ((f.height + 7u) / 8u);
  // A scan of components from..to-1. Zero bits decode as the one-bit codes: a DC difference
  // of 0, an end of block. A DC scan or a progressive AC scan needs one bit per block, a full
  // sequential scan two.
  auto scan = [&](uint8_t from, uint8_t to, uint8_t first, uint8_t last, uint64_t bits_per_block) {
    const uint8_t components = static_cast<uint8_t>(to - from);
    Bytes sos = {components};
    for (uint8_t c = from; c < to; ++c) sos.insert(sos.end(), {c, 0x00});
    sos.insert(sos.end(), {first, last, 0});
    segment(out, 0xDA, sos);
    const uint64_t full = (component_blocks * components * bits_per_block + 7) / 8;
    if (huffman(f.marker)) out.resize(out.size() + (f.scan_bytes ? f.scan_bytes : full), 0x00);
  };
  const auto all = static_cast<uint8_t>(f.components + 1);
  if (!progressive) {
    scan(1, all, 0, 63, 2);
  } else {
    for (unsigned s = 0; s < f.scans; ++s) scan(1, all, 0, 0, 1);
    for (unsigned s = 0; s < f.ac_scans; ++s) scan(1, 2, 1, 63, 1);
  }
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

}  // namespace testjpeg
