#include "wallet/tui_app.h"

#include "core/hashing.h"

namespace tui {

App::App(Services services) : ops(std::move(services)) { wallet_file = ops.wallet_path(); }

App::~App() {
  wipe(session_pass);
  wipe(input);
  wipe(pass1);
  wipe(pass2);
  for (auto* words : {&session_seed, &pending_seed}) {
    if (*words) {
      for (auto& w : **words) wipe(w);
    }
  }
}

void wipe(std::string& s) {
  if (!s.empty()) hashing::wipe(s.data(), s.size());
  s.clear();
}

}  // namespace tui
