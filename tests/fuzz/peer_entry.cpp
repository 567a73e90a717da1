// Peer entries: a normalised entry is a fixed point (normalising it again gives it back),
// and a list keeps at most five distinct entries.
#include <set>

#include "core/peers.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = fuzz::as_text(ByteView(data, size));
  if (auto peer = codec::parse_peer(text)) {
    auto again = codec::parse_peer(*peer);
    fuzz::check(again && *again == *peer, "a normalised entry normalises to itself");
  }
  // The same bytes as a list, split at new lines.
  std::vector<std::string> entries;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    entries.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (auto list = codec::parse_peers(entries)) {
    fuzz::check(!list->empty() && list->size() <= codec::kMaxPeers, "one to five peers");
    fuzz::check(std::set<std::string>(list->begin(), list->end()).size() == list->size(),
                "no duplicate peers");
    for (const auto& p : *list) {
      auto again = codec::parse_peer(p);
      fuzz::check(again && *again == p, "listed peers are normalised");
    }
  }
  return 0;
}
