// PTP framing cost: building escaped frames and feeding the receiver octet by octet, for a
// typical NPDU and for a full 501-octet frame full of octets that need escaping.
#include "bacnet/link/ptp_frame.h"

#include <benchmark/benchmark.h>

#include <string>

#include "bacnet/link/ptp_frame_receiver.h"

using namespace zb::bacnet;

static std::string Payload(int n, bool awkward) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>(awkward ? 0x10 + (i % 4) : 0x20 + i % 90);
  return s;
}

static void BM_BuildFrame(benchmark::State& state) {
  std::string data = Payload(static_cast<int>(state.range(0)), state.range(1) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(BuildPTPFrame(ptpData0, data));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_BuildFrame)->Args({24, 0})->Args({501, 0})->Args({501, 1});

static void BM_ReceiveFrame(benchmark::State& state) {
  std::string wire =
      BuildPTPFrame(ptpData1, Payload(static_cast<int>(state.range(0)), state.range(1) != 0));
  TPTPFrameReceiver r;
  for (auto _ : state) {
    for (unsigned char c : wire) r.ReceiveOctet(c);
    r.ReceiveQueue.clear();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(wire.size()));
}
BENCHMARK(BM_ReceiveFrame)->Args({24, 0})->Args({501, 0})->Args({501, 1});

BENCHMARK_MAIN();
