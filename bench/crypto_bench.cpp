// Costs of the wallet's key work: testing a foreign output against one key set (the light
// sync's inner loop) beside one bare X25519 product, one index's key set from the master
// key, and a key set from a phrase (dominated by Argon2id over 64 MiB).
#include <benchmark/benchmark.h>
#include <sodium.h>

#include "core/crypto.h"

namespace {

WalletKeys random_keys() {
  crypto::MasterKey m;
  randombytes_buf(m.data(), m.size());
  return WalletKeys::from_master(m, 0);
}

void BM_RawX25519(benchmark::State& state) {
  uint8_t sk[32], pk[32], q[32];
  randombytes_buf(sk, sizeof sk);
  crypto_box_keypair(pk, q);
  for (auto _ : state) {
    benchmark::DoNotOptimize(crypto_scalarmult_curve25519(q, sk, pk));
    benchmark::DoNotOptimize(q);
  }
}
BENCHMARK(BM_RawX25519);

// Opening an output: argument 0 is someone else's output (the common case a wallet
// meets while syncing), 1 its own.
void BM_TryOpenOutput(benchmark::State& state) {
  WalletKeys mine = random_keys();
  WalletKeys theirs = random_keys();
  const Key32& to = state.range(0) == 0 ? theirs.box_pk : mine.box_pk;
  auto out = crypto::make_output("sender", to, 1000, "a memo of ordinary length");
  if (!out) {
    state.SkipWithError("make_output failed");
    return;
  }
  for (auto _ : state) {
    auto note = crypto::try_open_output(mine, *out, 1, "txid");
    benchmark::DoNotOptimize(note);
  }
}
BENCHMARK(BM_TryOpenOutput)->Arg(0)->Arg(1);

void BM_MakeOutput(benchmark::State& state) {
  WalletKeys to = random_keys();
  for (auto _ : state) {
    auto out = crypto::make_output(to.address, to.box_pk, 1000, "memo");
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_MakeOutput);

void BM_FromMaster(benchmark::State& state) {
  crypto::MasterKey m;
  randombytes_buf(m.data(), m.size());
  const uint64_t index = static_cast<uint64_t>(state.range(0));
  for (auto _ : state) {
    WalletKeys k = WalletKeys::from_master(m, index);
    benchmark::DoNotOptimize(k);
  }
}
BENCHMARK(BM_FromMaster)->Arg(0)->Arg(1);

void BM_FromMnemonic(benchmark::State& state) {
  const std::string phrase =
      "aberat abest abiit abire absens absit abstulit absumpta accepit accipere acerba aceto "
      "achates";
  for (auto _ : state) {
    WalletKeys k = WalletKeys::from_mnemonic(phrase);
    benchmark::DoNotOptimize(k);
  }
}
BENCHMARK(BM_FromMnemonic)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  crypto::init();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
