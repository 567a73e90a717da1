// JPEG images made in memory for tests of the NFT store and the HTTP routes that carry it.
#pragma once

#include <cstdint>

#include "core/bytes.h"

namespace testjpeg {

// Encodes a w x h image whose pixels follow from `seed`, so different seeds give different
// files; `progressive` writes a progressive JPEG.
Bytes make(unsigned w, unsigned h, uint32_t seed = 0, bool progressive = false);

}  // namespace testjpeg
