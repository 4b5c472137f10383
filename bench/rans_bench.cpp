// rans_bench.cpp — encode and decode speed of both rANS implementations on 64 MB of English text and of random
// bytes, next to memcpy of the same buffer.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ransavx.h"
#include "util.h"

using namespace qarn;

namespace {

constexpr size_t bench_size = 64u << 20;

// The King James Bible as printed by `bible`, repeated to 64 MB; empty when the program is missing.
std::vector<uint8_t> make_text() {
  std::string once;
  if (FILE* p = popen("bible -f 'Gen1:1-Rev22:21' 2>/dev/null", "r")) {
    char buf[1 << 16];
    for (size_t k; (k = fread(buf, 1, sizeof buf, p)) > 0;) once.append(buf, k);
    pclose(p);
  }
  std::vector<uint8_t> r;
  if (once.size() < 1000) return r;
  r.reserve(bench_size);
  while (r.size() < bench_size) {
    size_t take = std::min(once.size(), bench_size - r.size());
    r.insert(r.end(), once.begin(), once.begin() + static_cast<long>(take));
  }
  return r;
}

std::vector<uint8_t> make_random() {
  std::mt19937_64 g(42);
  std::vector<uint8_t> r(bench_size);
  for (size_t i = 0; i < r.size(); i += 8) {
    uint64_t v = g();
    std::memcpy(&r[i], &v, 8);
  }
  return r;
}

const std::vector<uint8_t>& data_set(int which) {
  static const std::vector<uint8_t> text = make_text();
  static const std::vector<uint8_t> random = make_random();
  return which == 0 ? text : random;
}

bool usable(benchmark::State& state, int which, rans_impl impl) {
  if (data_set(which).empty()) {
    state.SkipWithError("`bible` is not installed: no text to measure (apt-get install bible-kjv)");
    return false;
  }
  if (impl == rans_impl::avx2 && !cpu_has_avx2()) {
    state.SkipWithError("this CPU has no AVX2");
    return false;
  }
  return true;
}

void bm_encode(benchmark::State& state, int which, rans_impl impl) {
  if (!usable(state, which, impl)) return;
  std::vector<uint8_t> in = data_set(which);
  std::vector<uint8_t> out(rans_compress_bound(static_cast<unsigned>(in.size())));
  unsigned size = 0;
  for (auto _ : state) {
    size = static_cast<unsigned>(out.size());
    benchmark::DoNotOptimize(
        rans_compress_O1_32x16_impl(impl, in.data(), static_cast<unsigned>(in.size()), out.data(), &size));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(in.size());
}

void bm_decode(benchmark::State& state, int which, rans_impl impl) {
  if (!usable(state, which, impl)) return;
  std::vector<uint8_t> in = data_set(which);
  std::vector<uint8_t> block(rans_compress_bound(static_cast<unsigned>(in.size())));
  unsigned size = static_cast<unsigned>(block.size());
  rans_compress_O1_32x16_impl(impl, in.data(), static_cast<unsigned>(in.size()), block.data(), &size);
  std::vector<uint8_t> out(in.size());
  for (auto _ : state) {
    unsigned out_size = static_cast<unsigned>(out.size());
    benchmark::DoNotOptimize(rans_uncompress_O1_32x16_impl(impl, block.data(), size, out.data(), &out_size));
    benchmark::ClobberMemory();
  }
  if (out != in) state.SkipWithError("decoded bytes differ from the input");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void bm_memcpy(benchmark::State& state, int which) {
  if (!usable(state, which, rans_impl::scalar)) return;
  const std::vector<uint8_t>& in = data_set(which);
  std::vector<uint8_t> out(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void register_all() {
  const char* names[] = {"text", "random"};
  for (int which = 0; which < 2; which++) {
    std::string d = names[which];
    auto setup = [](benchmark::internal::Benchmark* b) {
      b->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
    };
    setup(benchmark::RegisterBenchmark(("memcpy/" + d).c_str(), bm_memcpy, which));
    for (rans_impl impl : {rans_impl::scalar, rans_impl::avx2}) {
      std::string i = impl == rans_impl::scalar ? "scalar" : "avx2";
      setup(benchmark::RegisterBenchmark(("encode_" + i + "/" + d).c_str(), bm_encode, which, impl));
      setup(benchmark::RegisterBenchmark(("decode_" + i + "/" + d).c_str(), bm_decode, which, impl));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
