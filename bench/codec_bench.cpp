// Encoding, decoding and mining throughput of the protocol core.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include "core/codec.h"
#include "core/crypto.h"

namespace {

codec::Tx typical_transfer(uint64_t salt) {
  codec::Tx tx;
  tx.type = codec::kTxTransfer;
  tx.timestamp = 1700000000 + salt;
  for (int i = 0; i < 2; ++i) {
    codec::TxInput in;
    in.sig.fill(static_cast<uint8_t>(i + salt));
    in.note_id.fill(0x11);
    in.nullifier.fill(0x22);
    tx.inputs.push_back(in);
    codec::TxOutput out;
    out.stealth_tag.fill(0x33);
    out.eph_pub.fill(0x44);
    out.auth_pk.fill(0x55);
    out.ciphertext.assign(200, static_cast<uint8_t>(i));
    tx.outputs.push_back(out);
  }
  return tx;
}

codec::Block full_block() {
  codec::Block b;
  b.height = 42;
  for (uint64_t i = 0; i < 32; ++i) b.txs.push_back(typical_transfer(i));
  return b;
}

void BM_EncodeTransfer(benchmark::State& state) {
  codec::Tx tx = typical_transfer(0);
  for (auto _ : state) benchmark::DoNotOptimize(codec::encode_tx_signed(tx));
  state.SetBytesProcessed(state.iterations() * codec::encode_tx_signed(tx).size());
}
BENCHMARK(BM_EncodeTransfer);

void BM_DecodeTransfer(benchmark::State& state) {
  Bytes enc = codec::encode_tx_signed(typical_transfer(0));
  for (auto _ : state) benchmark::DoNotOptimize(codec::decode_tx(enc));
  state.SetBytesProcessed(state.iterations() * enc.size());
}
BENCHMARK(BM_DecodeTransfer);

void BM_EncodeBlock32(benchmark::State& state) {
  codec::Block b = full_block();
  for (auto _ : state) benchmark::DoNotOptimize(codec::encode_block_body(b));
}
BENCHMARK(BM_EncodeBlock32);

void BM_DecodeBlock32(benchmark::State& state) {
  Bytes body = codec::encode_block_body(full_block());
  for (auto _ : state) benchmark::DoNotOptimize(codec::decode_block_body(body));
  state.SetBytesProcessed(state.iterations() * body.size());
}
BENCHMARK(BM_DecodeBlock32);

// The raw rate of one BLAKE2b-256 over a 106-byte header: the ceiling of mining.
void BM_RawHeaderHash(benchmark::State& state) {
  codec::BlockHeader h{};
  uint8_t out[32];
  uint64_t n = 0;
  for (auto _ : state) {
    bytes::store_u64(h.data() + 80, n++);
    crypto_generichash(out, sizeof out, h.data(), h.size(), nullptr, 0);
    benchmark::DoNotOptimize(out);
  }
  state.counters["hashes/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawHeaderHash);

// Mining at difficulty 3, counted in tries per second.
void BM_MineDifficulty3(benchmark::State& state) {
  codec::Block b;
  uint64_t tries = 0;
  for (auto _ : state) {
    ++b.height;
    auto r = codec::mine_header(codec::encode_header(b), 3);
    tries += bytes::load_u64(r->data() + 80) + 1;
  }
  state.counters["hashes/s"] =
      benchmark::Counter(static_cast<double>(tries), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MineDifficulty3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  crypto::init();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
