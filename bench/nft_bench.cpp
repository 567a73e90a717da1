// The NFT check against hostile uploads.
//
// Decide/<name>: the time to accept or refuse one upload, and the growth of the process's
// peak memory while doing it (peak_growth_kib, measured once in a child process). The
// hostile frames declare huge sizes or ask for many scans in a few hundred bytes; every
// upload of at most 300000 bytes should be decided within 50 ms and 64 MiB. Decide/valid_512
// is the floor: decoding an ordinary 512 x 512 photo-like image.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/crypto.h"
#include "jpeg.h"
#include "jpeg_frames.h"
#include "ledger/nft.h"
#include "proc.h"

namespace {

using testjpeg::Frame;

struct Upload {
  const char* name;
  Bytes bytes;
};

std::vector<Upload> uploads() {
  return {
      {"valid_512", testjpeg::make(512, 512, 7)},
      {"valid_512_progressive", testjpeg::make(512, 512, 7, true)},
      {"arithmetic_65500", testjpeg::frame({testjpeg::kArithmetic, 65500, 65500, 1})},
      {"arithmetic_colour_65500", testjpeg::frame({testjpeg::kArithmetic, 65500, 65500, 3})},
      {"progressive_16000", testjpeg::frame({testjpeg::kProgressive, 16000, 16000, 1, 1, 64})},
      // The most work the scan limits let through: every block of four components (more do
      // not decode) visited as often as allowed, and as many AC scans of one component as
      // the coefficients allow.
      {"most_dc_scans_512", testjpeg::frame({testjpeg::kArithmeticProgressive, 512, 512, 4, 8})},
      {"most_huffman_dc_scans_512", testjpeg::frame({testjpeg::kProgressive, 512, 512, 4, 8})},
      {"most_ac_scans_512",
       testjpeg::frame({testjpeg::kArithmeticProgressive, 512, 512, 4, 1, 0, 7})},
      {"dc_scans_past_the_limit",
       testjpeg::frame({testjpeg::kArithmeticProgressive, 512, 512, 4, 5000})},
  };
}

// The growth of the peak resident size while ingesting once, in KiB, measured in a child so
// that earlier runs do not hide it.
long peak_growth_kib(const std::filesystem::path& store, const Bytes& bytes) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    (void)nft::ingest(store, bytes);
    ::getrusage(RUSAGE_SELF, &after);
    long growth = after.ru_maxrss - before.ru_maxrss;
    (void)!::write(fds[1], &growth, sizeof growth);
    ::_exit(0);
  }
  ::close(fds[1]);
  long growth = -1;
  if (::read(fds[0], &growth, sizeof growth) != sizeof growth) growth = -1;
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return growth;
}

void Decide(benchmark::State& state, const Upload& upload) {
  static proc::TempDir dir;
  crypto::init();
  auto store = dir.path() / "nft";
  auto first = nft::ingest(store, upload.bytes);
  state.SetLabel(first ? "accepted" : first.error().to_string());
  for (auto _ : state) {
    auto r = nft::ingest(store, upload.bytes);
    benchmark::DoNotOptimize(r);
  }
  state.counters["bytes"] = static_cast<double>(upload.bytes.size());
  state.counters["peak_growth_kib"] = static_cast<double>(peak_growth_kib(store, upload.bytes));
}

[[maybe_unused]] const bool registered = [] {
  static const std::vector<Upload> all = uploads();
  for (const Upload& u : all) {
    benchmark::RegisterBenchmark((std::string("Decide/") + u.name).c_str(), Decide, u)
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
