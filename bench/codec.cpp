// Decoding and encoding of service data through the tagged value list: a full-size
// ReadPropertyMultiple acknowledgement (about 1400 octets, many objects and properties) and the
// small ReadProperty acknowledgement of a present value.
#include <benchmark/benchmark.h>

#include <string>

#include "bacnet/app/tag_codec.h"
#include "bacnet/app/tagged_list.h"
#include "bench/rpm_ack.h"

namespace {

using namespace zb::bacnet;
using zb::bench::FullReadPropertyMultipleAck;
constexpr int C = kTagClassContext;
constexpr int A = kTagClassApplication;

std::string SmallReadPropertyAck() {
  return EncodeObjectIdentifier(C, 0, 0, 5) + EncodeUnsigned(C, 1, 85) + EncodeOpeningTag(3) +
         EncodeReal(A, 0, 72.3) + EncodeClosingTag(3);
}

void Decode(benchmark::State& state, const std::string& data) {
  for (auto _ : state) {
    zb::Variant list = DecodeTaggedList(data);
    benchmark::DoNotOptimize(list);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
  state.counters["octets"] = double(data.size());
}

void Encode(benchmark::State& state, const std::string& data) {
  zb::Variant list = DecodeTaggedList(data);
  for (auto _ : state) {
    std::string out = EncodeTaggedList(list);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
  state.counters["elements"] = double(list.Count());
}

void BM_DecodeReadPropertyMultipleAck(benchmark::State& s) {
  Decode(s, FullReadPropertyMultipleAck());
}
void BM_EncodeReadPropertyMultipleAck(benchmark::State& s) {
  Encode(s, FullReadPropertyMultipleAck());
}
void BM_DecodeReadPropertyAck(benchmark::State& s) { Decode(s, SmallReadPropertyAck()); }
void BM_EncodeReadPropertyAck(benchmark::State& s) { Encode(s, SmallReadPropertyAck()); }

// Locating one value deep in the large answer, as the sessions do.
void BM_FindInReadPropertyMultipleAck(benchmark::State& state) {
  zb::Variant list = DecodeTaggedList(FullReadPropertyMultipleAck());
  for (auto _ : state) {
    int index = list.Count() - 20;
    std::string v = FindTaggedValue(list, 1, 7, "\x01\x04", index);
    benchmark::DoNotOptimize(v);
  }
}

BENCHMARK(BM_DecodeReadPropertyMultipleAck);
BENCHMARK(BM_EncodeReadPropertyMultipleAck);
BENCHMARK(BM_DecodeReadPropertyAck);
BENCHMARK(BM_EncodeReadPropertyAck);
BENCHMARK(BM_FindInReadPropertyMultipleAck);

}  // namespace

BENCHMARK_MAIN();
