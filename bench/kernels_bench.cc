// Micro-benchmarks of the batch kernels: every variant the CPU runs against the reference loop,
// on one chunk-sized batch of vectors held in cache, all slots candidates.
//
//   build/jix_kernel_bench                      # all
//   build/jix_kernel_bench --benchmark_filter=l2_float32
#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernels/kernels.h"
#include "kernels/kernels_batch.h"

namespace {

using AnyBatch = void (*)(const void* query, const void* vectors, size_t d, size_t count,
                          const uint8_t* candidates, float* out);

#define JIX_WRAP(fn, T)                                                               \
  +[](const void* q, const void* v, size_t d, size_t n, const uint8_t* c, float* o) { \
    fn((const T*)q, (const T*)v, d, n, c, o);                                         \
  }

enum class Element { kFloat32, kInt8, kBit };

struct Case {
  const char* kernel;
  Element element;
  size_t d;  // dimensions; bits for bit vectors
  size_t count;
};

struct Variant {
  const char* name;
  bool (*runs)(Element);
  AnyBatch l2F32, l2I8, l1F32, l1I8, cosF32, cosI8, hamming;
};

#define JIX_VARIANT(label, runs, suffix)                           \
  Variant {                                                        \
    label, runs, JIX_WRAP(kernel_l2_float32_batch##suffix, float), \
        JIX_WRAP(kernel_l2_int8_batch##suffix, int8_t),            \
        JIX_WRAP(kernel_l1_float32_batch##suffix, float),          \
        JIX_WRAP(kernel_l1_int8_batch##suffix, int8_t),            \
        JIX_WRAP(kernel_cosine_float32_batch##suffix, float),      \
        JIX_WRAP(kernel_cosine_int8_batch##suffix, int8_t),        \
        JIX_WRAP(kernel_hamming_bit_batch##suffix, uint8_t)        \
  }

bool always(Element) {
  return true;
}
#if defined(JIX_X86_BATCH_KERNELS)
bool cpu_avx2(Element) {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}
bool cpu_avx512(Element e) {
  bool base = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
              __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
  return base && (e != Element::kBit || __builtin_cpu_supports("avx512vpopcntdq"));
}
#endif

AnyBatch pick(const Variant& v, const std::string& kernel) {
  if (kernel == "l2_float32") return v.l2F32;
  if (kernel == "l2_int8") return v.l2I8;
  if (kernel == "l1_float32") return v.l1F32;
  if (kernel == "l1_int8") return v.l1I8;
  if (kernel == "cosine_float32") return v.cosF32;
  if (kernel == "cosine_int8") return v.cosI8;
  return v.hamming;
}

size_t vector_bytes(Element e, size_t d) {
  return e == Element::kFloat32 ? 4 * d : e == Element::kInt8 ? d : d / 8;
}

void run_case(benchmark::State& state, Case c, Variant v) {
  if (!v.runs(c.element)) {
    state.SkipWithError("this CPU lacks the instruction set");
    return;
  }
  size_t bytes = vector_bytes(c.element, c.d);
  std::mt19937 rng(42);
  std::vector<uint8_t> query(bytes), vectors(bytes * c.count);
  auto fill = [&](uint8_t* p, size_t n) {
    if (c.element == Element::kFloat32) {
      std::normal_distribution<float> normal;
      for (size_t i = 0; i < n / 4; i++) {
        float f = normal(rng);
        memcpy(p + 4 * i, &f, 4);
      }
    } else {
      for (size_t i = 0; i < n; i++) p[i] = (uint8_t)rng();
    }
  };
  fill(query.data(), bytes);
  fill(vectors.data(), vectors.size());
  std::vector<float> out(c.count);
  AnyBatch fn = pick(v, c.kernel);
  for (auto _ : state) {
    fn(query.data(), vectors.data(), c.d, c.count, nullptr, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * vectors.size()));
  state.SetItemsProcessed((int64_t)(state.iterations() * c.count));
}

}  // namespace

int main(int argc, char** argv) {
  const Case cases[] = {
      {"l2_float32", Element::kFloat32, 768, 1024},
      {"l2_float32", Element::kFloat32, 128, 1024},
      {"cosine_float32", Element::kFloat32, 768, 1024},
      {"l1_float32", Element::kFloat32, 768, 1024},
      {"l2_int8", Element::kInt8, 768, 1024},
      {"cosine_int8", Element::kInt8, 768, 1024},
      {"l1_int8", Element::kInt8, 768, 1024},
      {"hamming_bit", Element::kBit, 1024, 1024},
  };
  const Variant variants[] = {
    JIX_VARIANT("reference", always, _reference),
#if defined(JIX_X86_BATCH_KERNELS)
    JIX_VARIANT("sse2", always, _sse2),
    JIX_VARIANT("avx2", cpu_avx2, _avx2),
    JIX_VARIANT("avx512", cpu_avx512, _avx512),
#endif
#if defined(JIX_ARM_BATCH_KERNELS)
    JIX_VARIANT("neon", always, _neon),
#endif
    JIX_VARIANT("dispatched", always, ),
  };
  for (const Case& c : cases) {
    for (const Variant& v : variants) {
      std::string name = std::string(c.kernel) + "/" + std::to_string(c.count) + "x" +
                         std::to_string(c.d) + "/" + v.name;
      benchmark::RegisterBenchmark(name.c_str(), run_case, c, v)->Unit(benchmark::kMicrosecond);
    }
  }
  // "dispatched" is the variant the library picks here (JIX_KERNELS can narrow it).
  benchmark::AddCustomContext("dispatched kernels", kernel_batch_variant());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
