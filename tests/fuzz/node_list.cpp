// The wallet's node list file: whatever it holds, loading gives a list that is never empty
// and has no blank entry, and the list saved and loaded again is the same list trimmed.
#include "core/text.h"
#include "fuzz.h"
#include "wallet/light.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path wallet = fuzz::scratch() / "quv.wallet";
  fuzz::write_file(light::nodes_path(wallet), ByteView(data, size));
  std::vector<std::string> nodes = light::load_nodes(wallet);
  fuzz::check(!nodes.empty(), "a node list is never empty");
  std::vector<std::string> trimmed;
  for (const std::string& n : nodes) {
    fuzz::check(!text::trim(n).empty(), "no blank entry");
    trimmed.emplace_back(text::trim(n));
  }
  fuzz::check(light::save_nodes(wallet, nodes).has_value(), "the list is saved");
  fuzz::check(light::load_nodes(wallet) == trimmed, "a saved list loads back trimmed");
  return 0;
}
