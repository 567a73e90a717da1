// The NFT check: any upload is decided (accepted within 512 x 512, or refused with one of
// the store's texts), and an accepted image is accepted again with the same answer.
//
// The JPEG decoder is a system library without coverage feedback, so the fuzzer cannot
// steer inside it from raw bytes alone. The first byte picks what the rest is: even, the
// upload itself; odd, a description of a frame that the target writes as a JPEG file:
// frame kind, size, components with their sampling factors, then scans with their
// components, spectral band, successive approximation and entropy-coded bytes. That makes
// many-scan progressive and arithmetic-coded images, the costly ones, easy to reach.
#include <set>
#include <system_error>

#include "core/crypto.h"
#include "fuzz.h"
#include "ledger/nft.h"

namespace {

void segment(Bytes& out, uint8_t marker, const Bytes& body) {
  const size_t len = body.size() + 2;
  out.insert(out.end(), {0xFF, marker, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
  out.insert(out.end(), body.begin(), body.end());
}

Bytes described(fuzz::Input& in) {
  static constexpr uint8_t kFrames[] = {0xC0, 0xC1, 0xC2, 0xC9, 0xCA};
  const uint8_t frame = kFrames[in.u8() % std::size(kFrames)];
  const bool huffman = frame < 0xC8;
  // Mostly within bounds, where the decoder does its work.
  const uint16_t width = static_cast<uint16_t>(1 + in.u16() % 600);
  const uint16_t height = static_cast<uint16_t>(1 + in.u16() % 600);
  const uint8_t components = static_cast<uint8_t>(1 + in.u8() % 4);

  Bytes out = {0xFF, 0xD8};
  Bytes dqt = {0x00};
  dqt.resize(65, static_cast<uint8_t>(1 + in.u8() % 8));
  segment(out, 0xDB, dqt);
  Bytes sof = {8,
               static_cast<uint8_t>(height >> 8),
               static_cast<uint8_t>(height),
               static_cast<uint8_t>(width >> 8),
               static_cast<uint8_t>(width),
               components};
  for (uint8_t c = 1; c <= components; ++c) {
    const uint8_t h = static_cast<uint8_t>(1 + in.u8() % 4),
                  v = static_cast<uint8_t>(1 + in.u8() % 4);
    sof.insert(sof.end(), {c, static_cast<uint8_t>(h << 4 | v), 0});
  }
  segment(out, frame, sof);
  if (huffman) {
    // DC and AC table 0: codes of one to eight bits for the first symbols.
    for (uint8_t table : {uint8_t{0x00}, uint8_t{0x10}}) {
      Bytes dht = {table};
      for (int len = 1; len <= 16; ++len) dht.push_back(len <= 8 ? 1 : 0);
      for (int s = 0; s < 8; ++s) dht.push_back(in.u8());
      segment(out, 0xC4, dht);
    }
  }
  while (in.left() > 0) {
    const uint8_t pick = in.u8();
    const uint8_t n = static_cast<uint8_t>(1 + pick % components);
    Bytes sos = {n};
    for (uint8_t i = 0; i < n; ++i) {
      sos.insert(sos.end(), {static_cast<uint8_t>(1 + (pick / 4 + i) % components), 0x00});
    }
    const uint8_t ss = in.u8() % 64;
    const uint8_t se = static_cast<uint8_t>(ss + in.u8() % (64 - ss));
    sos.insert(sos.end(), {ss, se, static_cast<uint8_t>(in.u8() & 0x33)});
    segment(out, 0xDA, sos);
    // Entropy-coded bytes, with 0xFF stuffed as the format wants.
    ByteView data = in.take(in.u16() % 512);
    for (uint8_t b : data) {
      out.push_back(b);
      if (b == 0xFF) out.push_back(0x00);
    }
  }
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path store = [] {
    crypto::init();
    return fuzz::scratch() / "nft";
  }();
  static const std::set<std::string> texts = {"Not a JPEG.", "JPEG too large (max 300 KB).",
                                              "JPEG could not be decoded.", "Empty image.",
                                              "Image larger than 512\u00D7512."};
  fuzz::Input in(data, size);
  Bytes image;
  if (in.u8() & 1) {
    image = described(in);
  } else {
    ByteView raw = in.rest();
    image.assign(raw.begin(), raw.end());
  }
  auto info = nft::ingest(store, image);
  if (!info) {
    fuzz::check(texts.contains(info.error().to_string()), "a refusal has one of the texts");
    return 0;
  }
  fuzz::check(info->width >= 1 && info->width <= nft::kMaxSide && info->height >= 1 &&
                  info->height <= nft::kMaxSide,
              "accepted images are within 512 x 512");
  auto again = nft::ingest(store, image);
  fuzz::check(again && *again == *info, "an accepted image is accepted again the same");
  auto stored = nft::read(store, info->hash);
  fuzz::check(stored && *stored == image, "the stored bytes are the upload");
  std::error_code ec;
  std::filesystem::remove(store / (info->hash + ".jpg"), ec);
  return 0;
}
