// The NFT check: any upload is decided (accepted within 512 x 512, or refused with one of
// the store's texts), and an accepted image is accepted again with the same answer.
#include <set>
#include <system_error>

#include "core/crypto.h"
#include "fuzz.h"
#include "ledger/nft.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path store = [] {
    crypto::init();
    return fuzz::scratch() / "nft";
  }();
  static const std::set<std::string> texts = {"Not a JPEG.", "JPEG too large (max 300 KB).",
                                              "JPEG could not be decoded.", "Empty image.",
                                              "Image larger than 512\u00D7512."};
  ByteView image(data, size);
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
  fuzz::check(stored && std::equal(stored->begin(), stored->end(), image.begin(), image.end()),
              "the stored bytes are the upload");
  std::error_code ec;
  std::filesystem::remove(store / (info->hash + ".jpg"), ec);
  return 0;
}
