// The `quv` executable: a ledger node, a light wallet and a few maintenance commands in
// one program. Everything past start-up lives in the library; see cli.h.
#include <csignal>

#include "app/cli.h"
#include "core/crypto.h"
#include "core/seed.h"
#include "node/heap.h"

int main(int argc, char** argv) {
  // A write to a closed connection or pipe must fail with an error, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  // Before any thread exists: the node's server threads share one heap.
  node::limit_arenas();
  crypto::init();
  seed::check_words();
  return cli::run(argc, argv);
}
