// Costs of the wallet: saving and opening the wallet file beside the one Argon2id derivation
// that each of them must run.
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <stdlib.h>

#include <string>

#include "core/crypto.h"
#include "core/hex.h"
#include "core/seed.h"
#include "proc.h"
#include "wallet/walletdb.h"

namespace {

constexpr const char* kPass = "bench passphrase";

// A book of a wallet in use: 200 cached notes and 400 history rows.
walletdb::Book used_book() {
  walletdb::Book b = walletdb::blank(seed::to_mnemonic(seed::generate()));
  for (int i = 0; i < 200; ++i) {
    std::string id = hex::encode(Bytes(32, static_cast<uint8_t>(i)));
    b["sync"]["notes"].push_back({{"note_id", id},
                                  {"amount", 100000 + i},
                                  {"memo", "rent for march"},
                                  {"from", std::string(59, 'q')},
                                  {"auth_sk", std::string(128, 'a')},
                                  {"auth_pk", std::string(64, 'b')},
                                  {"height", i},
                                  {"txid", id}});
  }
  for (int i = 0; i < 400; ++i) {
    b["sync"]["history"].push_back({{"dir", "in"},
                                    {"amount", i},
                                    {"memo", ""},
                                    {"height", i},
                                    {"txid", std::string(64, 'c')},
                                    {"time", 1700000000 + i},
                                    {"from", std::string(59, 'q')},
                                    {"to", std::string(59, 'r')}});
  }
  return b;
}

// The floor: one bare Argon2id derivation with the wallet file's parameters.
void BM_Argon2idBare(benchmark::State& state) {
  uint8_t key[32], salt[16];
  randombytes_buf(salt, sizeof salt);
  for (auto _ : state) {
    if (crypto_pwhash_argon2id(key, sizeof key, kPass, strlen(kPass), salt, 2, size_t{64} << 20,
                               crypto_pwhash_argon2id_ALG_ARGON2ID13) != 0) {
      state.SkipWithError("argon2id");
      return;
    }
    benchmark::DoNotOptimize(key);
  }
}
BENCHMARK(BM_Argon2idBare)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Persist(benchmark::State& state) {
  proc::TempDir dir;
  proc::ScopedEnv env("QUV_WALLET_PATH", (dir / "w.wallet").string());
  walletdb::Book book = used_book();
  for (auto _ : state) {
    if (!walletdb::persist(book, kPass)) {
      state.SkipWithError("persist");
      return;
    }
  }
}
BENCHMARK(BM_Persist)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LoadBook(benchmark::State& state) {
  proc::TempDir dir;
  proc::ScopedEnv env("QUV_WALLET_PATH", (dir / "w.wallet").string());
  if (!walletdb::persist(used_book(), kPass)) {
    state.SkipWithError("persist");
    return;
  }
  for (auto _ : state) {
    auto b = walletdb::load_book(kPass);
    if (!b) {
      state.SkipWithError("load_book");
      return;
    }
    benchmark::DoNotOptimize(b);
  }
}
BENCHMARK(BM_LoadBook)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  crypto::init();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
