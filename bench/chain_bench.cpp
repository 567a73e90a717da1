// Costs of the ledger's heavy paths: replaying a chain file beside the hashing no replay
// can avoid (record checksum, header hash, one note id per output); admitting a transfer
// into small and large mempools, with and without the state save, beside one Ed25519
// verification; the seal step of a tick over 1 000 waiting entries, with and without the
// checks it remembers; adopting a peer's chain of 10 000 blocks beside replaying it; and
// appending the one block a peer holds past ours, at two chain lengths.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>

#include "chain_gen.h"
#include "core/codec.h"
#include "core/crypto.h"
#include "ledger/chain.h"
#include "ledger/chain_file.h"
#include "proc.h"

namespace fs = std::filesystem;

namespace {

enum Kind : int64_t { kOneTransfer = 0, kFull = 1 };

proc::TempDir& scratch() {
  static proc::TempDir dir;
  return dir;
}

// Generated chains, made once per process: (kind, blocks, valid) -> file.
const fs::path& chain_file(Kind kind, size_t blocks, bool valid) {
  static std::map<std::tuple<int, size_t, bool>, fs::path> made;
  auto key = std::make_tuple(static_cast<int>(kind), blocks, valid);
  auto it = made.find(key);
  if (it != made.end()) return it->second;
  crypto::init();
  chain_gen::Builder b(kind * 1000 + blocks, valid, valid);
  if (kind == kFull) {
    b.full_blocks(blocks - 1);
  } else {
    b.one_transfer_blocks(blocks - 1);
  }
  fs::path p = scratch() / ("gen-" + std::to_string(kind) + "-" + std::to_string(blocks) + "-" +
                            std::to_string(valid) + ".chain");
  b.write(p);
  return made.emplace(key, p).first->second;
}

void BM_Replay(benchmark::State& state) {
  const fs::path& p = chain_file(static_cast<Kind>(state.range(0)), state.range(1), false);
  size_t blocks = 0;
  for (auto _ : state) {
    auto c = Chain::open(p);
    if (!c) {
      state.SkipWithError(c.error().to_string().c_str());
      return;
    }
    blocks = c->block_count();
    benchmark::DoNotOptimize(c->notes().size());
  }
  state.counters["blocks/s"] = benchmark::Counter(static_cast<double>(blocks),
                                                  benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(p)));
}
BENCHMARK(BM_Replay)
    ->Args({kOneTransfer, 10000})
    ->Args({kOneTransfer, 100000})
    ->Args({kFull, 10000})
    ->Unit(benchmark::kMillisecond);

// Only the hashing replay cannot skip, over the same file held in memory.
void BM_ReplayHashingOnly(benchmark::State& state) {
  const fs::path& p = chain_file(static_cast<Kind>(state.range(0)), state.range(1), false);
  const std::string file = proc::slurp(p);
  const ByteView all(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  struct Record {
    ByteView body;
    std::vector<std::pair<ByteView, ByteView>> outputs;
  };
  std::vector<Record> records;
  for (size_t pos = 4; pos + 4 <= all.size();) {
    const size_t len = bytes::load_u32(all.data() + pos);
    Record r{all.subspan(pos + 4, len), {}};
    auto block = codec::decode_block_body(r.body);
    // Locate each output's hashed pieces inside the body, as replay hashes them in place.
    size_t at = codec::kHeaderSize + 2;
    for (const codec::Tx& tx : block->txs) {
      Bytes enc = codec::encode_tx_signed(tx);
      size_t cur =
          at + 1 + 8 + 2 + tx.extra.size() + 1 + tx.tag.size() + 2 + 64 * tx.inputs.size() + 2;
      for (const codec::TxOutput& o : tx.outputs) {
        r.outputs.emplace_back(r.body.subspan(cur, 80),
                               r.body.subspan(cur + 82, o.ciphertext.size()));
        cur += 82 + o.ciphertext.size();
      }
      at += enc.size();
    }
    records.push_back(std::move(r));
    pos += 4 + len + 32;
  }
  for (auto _ : state) {
    for (const Record& r : records) {
      benchmark::DoNotOptimize(hashing::h32(r.body));
      benchmark::DoNotOptimize(hashing::h32(r.body.first(codec::kHeaderSize)));
      for (const auto& [fixed, body] : r.outputs) {
        benchmark::DoNotOptimize(hashing::h32_parts({fixed, body}));
      }
    }
  }
  state.counters["blocks/s"] = benchmark::Counter(static_cast<double>(records.size()),
                                                  benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReplayHashingOnly)
    ->Args({kOneTransfer, 10000})
    ->Args({kOneTransfer, 100000})
    ->Args({kFull, 10000})
    ->Unit(benchmark::kMillisecond);

// Pays `notes` notes in one block, then admits `pool` transfers of them with the saves
// held (the caller flushes); false, with the reason given to `state`, when a step fails.
bool fill_mempool(benchmark::State& state, Chain& c, chain_gen::Builder& b, size_t notes,
                  size_t pool) {
  codec::Tx paid = b.mint(notes);
  if (!c.seal_txs({paid})) {
    state.SkipWithError("seal failed");
    return false;
  }
  b.add({paid});
  c.hold_saves();
  for (size_t i = 0; i < pool; ++i) {
    if (!c.admit(b.spend(1, 2))) {
      state.SkipWithError("admit failed");
      return false;
    }
  }
  return true;
}

// Admission into a mempool of range(0) entries; range(1) is 1 when the state is saved.
// The iteration count is fixed so that the mempool grows by at most that many entries.
constexpr int kAdmissions = 200;

void BM_Submit(benchmark::State& state) {
  const size_t pool = static_cast<size_t>(state.range(0));
  const bool save = state.range(1) != 0;
  crypto::init();
  proc::TempDir dir;
  auto opened = Chain::open(dir / "quv.chain");
  if (!opened) {
    state.SkipWithError(opened.error().to_string().c_str());
    return;
  }
  Chain& c = *opened;
  chain_gen::Builder b(99);
  // Notes for the mempool and for every timed admission, paid in one block; the mempool
  // is filled with the saves held, and saved once.
  if (!fill_mempool(state, c, b, pool + kAdmissions, pool)) return;
  if (!c.flush_saves()) {
    state.SkipWithError("save failed");
    return;
  }
  std::vector<codec::Tx> txs;
  for (int i = 0; i < kAdmissions; ++i) txs.push_back(b.spend(1, 2));
  // Admission without the save is what the node loop does between its hold and its flush.
  if (!save) c.hold_saves();
  size_t next = 0;
  for (auto _ : state) {
    auto r = c.submit_tx(txs[next++]);
    if (!r) {
      state.SkipWithError(r.error().to_string().c_str());
      return;
    }
  }
}
BENCHMARK(BM_Submit)
    ->Args({10, 0})
    ->Args({5000, 0})
    ->Args({10, 1})
    ->Args({1000, 1})
    ->Args({5000, 1})
    ->Iterations(kAdmissions)
    ->Unit(benchmark::kMicrosecond);

// The seal step of a node tick over range(0) waiting transfers that are not ready (each
// lacks its acknowledgements), with the seal step remembering its checks between ticks
// (range(1) = 1) or checking every entry in full each tick, as it did before (0). Both
// include the state save that every seal makes.
void BM_SealWaiting(benchmark::State& state) {
  const size_t pool = static_cast<size_t>(state.range(0));
  crypto::init();
  proc::TempDir dir;
  ::setenv("QUV_CONFIRM_PEERS", "2", 1);
  auto opened = Chain::open(dir / "quv.chain");
  if (!opened) {
    state.SkipWithError(opened.error().to_string().c_str());
    return;
  }
  Chain& c = *opened;
  c.remember_seal_checks(state.range(1) != 0);
  chain_gen::Builder b(98);
  if (!fill_mempool(state, c, b, pool, pool)) return;
  (void)c.flush_saves();
  (void)c.seal();  // the first tick checks every entry whichever way
  for (auto _ : state) {
    auto r = c.seal();
    if (r || c.state().mempool.size() != pool) {
      state.SkipWithError("an entry was sealed or dropped");
      return;
    }
  }
}
BENCHMARK(BM_SealWaiting)
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_Ed25519Verify(benchmark::State& state) {
  crypto::init();
  unsigned char pk[32], sk[64], sig[64];
  crypto_sign_keypair(pk, sk);
  Bytes m(700, 7);
  crypto_sign_detached(sig, nullptr, m.data(), m.size(), sk);
  for (auto _ : state) {
    benchmark::DoNotOptimize(crypto_sign_verify_detached(sig, m.data(), m.size(), pk));
  }
}
BENCHMARK(BM_Ed25519Verify)->Unit(benchmark::kMicrosecond);

// A node that holds only its genesis block adopts a valid peer chain of 10 000 blocks:
// every block is checked and every spend signature verified, on all cores.
void BM_Adopt(benchmark::State& state) {
  const fs::path& p = chain_file(kOneTransfer, state.range(0), true);
  const std::string text = proc::slurp(p);
  const Bytes peer(text.begin(), text.end());
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    proc::TempDir dir;
    auto c = Chain::open(dir / ("own" + std::to_string(round++) + ".chain"));
    state.ResumeTiming();
    auto r = c->adopt_bytes(peer);
    if (!r || c->block_count() != static_cast<uint64_t>(state.range(0))) {
      state.SkipWithError(r ? "not adopted" : r.error().to_string().c_str());
      return;
    }
  }
  state.counters["blocks/s"] = benchmark::Counter(static_cast<double>(state.range(0)),
                                                  benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Adopt)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// A node holding 10 000 blocks adopts a peer that is 10 blocks ahead: the shared blocks
// are compared with ours, and only the new ones are checked.
void BM_AdoptExtension(benchmark::State& state) {
  const fs::path& p = chain_file(kOneTransfer, 10010, true);
  const std::string text = proc::slurp(p);
  const Bytes peer(text.begin(), text.end());
  auto full = Chain::open(p);
  const std::string own(text.begin(), text.begin() + static_cast<long>(full->offsets()[10000]));
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    proc::TempDir dir;
    const fs::path mine = dir / ("own" + std::to_string(round++) + ".chain");
    proc::spit(mine, own);
    auto c = Chain::open(mine);
    state.ResumeTiming();
    auto r = c->adopt_bytes(peer);
    if (!r || c->block_count() != 10010) {
      state.SkipWithError(r ? "not adopted" : r.error().to_string().c_str());
      return;
    }
  }
}
BENCHMARK(BM_AdoptExtension)->Unit(benchmark::kMillisecond)->UseRealTime();

// A follower appends the one block a peer holds past its chain: the staged tail is our
// last record and the new block, which is checked against our ledger and appended. The
// cost must not depend on the chain's length (1 000 against 30 000 blocks).
void BM_ExtendOneBlock(benchmark::State& state) {
  const size_t blocks = static_cast<size_t>(state.range(0));
  static std::map<size_t, std::pair<fs::path, fs::path>> made;
  if (!made.contains(blocks)) {
    crypto::init();
    // Old blocks need no proof of work: only the new block is checked.
    chain_gen::Builder b(blocks, false, true);
    b.one_transfer_blocks(blocks - 1);
    const fs::path own = scratch() / ("own-" + std::to_string(blocks) + ".chain");
    b.write(own);
    std::vector<codec::Block> longer = b.blocks();
    longer.push_back(chain_gen::make_block(longer.size(), longer.back().hash, {b.spend()}, true));
    const fs::path peer = scratch() / ("peer-" + std::to_string(blocks) + ".chain");
    const Bytes file = chain_gen::file_bytes(longer);
    proc::spit(peer, std::string(file.begin(), file.end()));
    made[blocks] = {own, peer};
  }
  const auto& [own, peer] = made[blocks];
  const std::string own_text = proc::slurp(own);
  const std::string peer_text = proc::slurp(peer);
  int round = 0;
  // The ledger of the last round is dropped outside the timed part.
  std::unique_ptr<Chain> c;
  proc::TempDir dir;
  for (auto _ : state) {
    state.PauseTiming();
    c.reset();
    fs::remove_all(dir / std::to_string(round));
    const fs::path mine = dir / std::to_string(++round) / "own.chain";
    fs::create_directories(mine.parent_path());
    proc::spit(mine, own_text);
    // A follower's chain is on disk already: the copy is flushed before the timed part.
    if (int fd = ::open(mine.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
      ::fsync(fd);
      ::close(fd);
    }
    c = std::make_unique<Chain>(std::move(*Chain::open(mine)));
    const fs::path staged = chain::staging_path(mine, "bench");
    const uint64_t from = c->offsets().back();
    state.ResumeTiming();
    proc::spit(staged, peer_text.substr(from));
    auto r = c->extend_staged(staged);
    if (!r || *r != 1) {
      state.SkipWithError(r ? "not appended" : r.error().to_string().c_str());
      return;
    }
  }
}
BENCHMARK(BM_ExtendOneBlock)->Arg(1000)->Arg(30000)->Iterations(100)->Unit(benchmark::kMicrosecond);

// The plain replay of the same valid chain, for comparison with adoption.
void BM_ReplayValid(benchmark::State& state) {
  const fs::path& p = chain_file(kOneTransfer, state.range(0), true);
  for (auto _ : state) {
    auto c = Chain::open(p);
    benchmark::DoNotOptimize(c->notes().size());
  }
}
BENCHMARK(BM_ReplayValid)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
