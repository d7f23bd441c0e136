// Batch kernels: every variant the CPU runs, and the dispatched one, against the reference loop,
// bit for bit, on ordinary and hostile data; plus the contract the KNN chunk loop relies on.
#include "kernels/kernels.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kernels/kernels_batch.h"

namespace {

using AnyBatch = void (*)(const void* query, const void* vectors, size_t d, size_t count,
                          const uint8_t* candidates, float* out);

#define JIX_WRAP(fn, T)                                                               \
  +[](const void* q, const void* v, size_t d, size_t n, const uint8_t* c, float* o) { \
    fn((const T*)q, (const T*)v, d, n, c, o);                                         \
  }
#define JIX_VARIANT(suffix)                                   \
  {                                                           \
    JIX_WRAP(kernel_l2_float32_batch##suffix, float),         \
        JIX_WRAP(kernel_l2_int8_batch##suffix, int8_t),       \
        JIX_WRAP(kernel_l1_float32_batch##suffix, float),     \
        JIX_WRAP(kernel_l1_int8_batch##suffix, int8_t),       \
        JIX_WRAP(kernel_cosine_float32_batch##suffix, float), \
        JIX_WRAP(kernel_cosine_int8_batch##suffix, int8_t),   \
        JIX_WRAP(kernel_hamming_bit_batch##suffix, uint8_t),  \
  }

enum class Element { kFloat32, kInt8, kBit };
enum Kernel { kL2F32, kL2I8, kL1F32, kL1I8, kCosF32, kCosI8, kHamming, kNumKernels };

struct KernelInfo {
  const char* name;
  Element element;
};
constexpr KernelInfo kKernels[kNumKernels] = {
    {"l2_float32", Element::kFloat32},     {"l2_int8", Element::kInt8},
    {"l1_float32", Element::kFloat32},     {"l1_int8", Element::kInt8},
    {"cosine_float32", Element::kFloat32}, {"cosine_int8", Element::kInt8},
    {"hamming_bit", Element::kBit},
};

const AnyBatch kReference[kNumKernels] = JIX_VARIANT(_reference);

using LanesFn = void (*)(const float* query, const float* blocks, size_t d, size_t count,
                         size_t from, size_t to, float* sums);

struct Variant {
  const char* name;
  bool (*runs)(Kernel);
  AnyBatch fns[kNumKernels];
  LanesFn l2Lanes;
};

bool always(Kernel) {
  return true;
}
#if defined(JIX_X86_BATCH_KERNELS)
bool cpu_avx2(Kernel) {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}
bool cpu_avx512(Kernel k) {
  bool base = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
              __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
  return base && (k != kHamming || __builtin_cpu_supports("avx512vpopcntdq"));
}
#endif

const Variant kVariants[] = {
    {"dispatched", always, JIX_VARIANT(), kernel_l2_float32_lanes},
#if defined(JIX_X86_BATCH_KERNELS)
    {"sse2", always, JIX_VARIANT(_sse2), kernel_l2_float32_lanes_sse2},
    {"avx2", cpu_avx2, JIX_VARIANT(_avx2), kernel_l2_float32_lanes_avx2},
    {"avx512", cpu_avx512, JIX_VARIANT(_avx512), kernel_l2_float32_lanes_avx512},
#endif
#if defined(JIX_ARM_BATCH_KERNELS)
    {"neon", always, JIX_VARIANT(_neon), kernel_l2_float32_lanes_neon},
#endif
};

// Kinds of stored data. Specials sprinkle -0, subnormals, infinities and NaN (float) or the
// extremes -128 and 127 (int8, which pushes long sums past float32's exact integers).
enum class Data { kOrdinary, kSpecials, kTiny, kHuge, kQueryNaN };

float special_float(std::mt19937& rng) {
  const float specials[] = {-0.0f,
                            0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            -std::numeric_limits<float>::denorm_min(),
                            1e-40f,
                            -3e-39f,
                            FLT_MIN,
                            FLT_MAX,
                            -FLT_MAX,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN()};
  return specials[rng() % (sizeof(specials) / sizeof(specials[0]))];
}

float random_float(std::mt19937& rng, Data data) {
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  switch (data) {
    case Data::kTiny:  // sums stay subnormal
      return unit(rng) * 1e-39f;
    case Data::kHuge:  // squares overflow to infinity
      return unit(rng) * 3e38f;
    case Data::kSpecials:
      if (rng() % 16 == 0) return special_float(rng);
      [[fallthrough]];
    default:
      return unit(rng) * std::pow(10.0f, (float)((int)(rng() % 9) - 4));  // mixed magnitudes
  }
}

int8_t random_int8(std::mt19937& rng, Data data, size_t vectorIndex) {
  switch (data) {
    case Data::kSpecials:  // every other vector at the extremes: both exactness paths per call
      if (vectorIndex % 2 == 0) return rng() % 2 ? 127 : -128;
      [[fallthrough]];
    case Data::kOrdinary:
      return (int8_t)(int)(rng() % 256 - 128);
    case Data::kHuge:
      return rng() % 2 ? 127 : -128;
    default:
      return (int8_t)(int)(rng() % 9 - 4);
  }
}

struct Inputs {
  std::vector<uint8_t> query;
  std::vector<uint8_t> storage;  // vectors start at `offset`, and the buffer ends with the last
  size_t offset;
  const void* vectors() const { return storage.data() + offset; }
};

// Element bytes of one vector; d counts bits for bit vectors.
size_t vector_bytes(Element e, size_t d) {
  return e == Element::kFloat32 ? 4 * d : e == Element::kInt8 ? d : d / 8;
}

Inputs make_inputs(std::mt19937& rng, Element e, Data data, size_t d, size_t count) {
  Inputs in;
  size_t bytes = vector_bytes(e, d);
  in.offset = e == Element::kFloat32 ? 4 : 1;  // misaligned for every vector width
  in.query.resize(bytes);
  in.storage.resize(in.offset + count * bytes);
  auto fill = [&](uint8_t* p, size_t index, bool isQuery) {
    for (size_t i = 0; i < bytes / (e == Element::kFloat32 ? 4 : 1); i++) {
      if (e == Element::kFloat32) {
        float f = random_float(rng, isQuery && data != Data::kQueryNaN ? Data::kOrdinary : data);
        if (isQuery && data == Data::kQueryNaN && i == d / 2)
          f = std::numeric_limits<float>::quiet_NaN();
        memcpy(p + 4 * i, &f, 4);
      } else if (e == Element::kInt8) {
        p[i] = (uint8_t)random_int8(rng, data, index);
      } else {
        p[i] = (uint8_t)rng();
      }
    }
  };
  fill(in.query.data(), 0, true);
  for (size_t v = 0; v < count; v++) fill(in.storage.data() + in.offset + v * bytes, v, false);
  return in;
}

enum class Bitmap { kNone, kAllSet, kRandom, kSparse, kEmpty, kAlternate };

std::vector<uint8_t> make_bitmap(std::mt19937& rng, Bitmap kind, size_t count) {
  std::vector<uint8_t> bits((count + 7) / 8);
  for (uint8_t& b : bits) {
    switch (kind) {
      case Bitmap::kAllSet:
        b = 0xFF;
        break;
      case Bitmap::kRandom:
        b = (uint8_t)rng();
        break;
      case Bitmap::kSparse:
        b = rng() % 5 == 0 ? (uint8_t)(1u << (rng() % 8)) : 0;
        break;
      case Bitmap::kAlternate:
        b = 0xAA;
        break;
      default:
        b = 0;
        break;
    }
  }
  return bits;
}

constexpr uint32_t kUntouched = 0x7FA5A5A5;  // a signalling NaN no kernel produces

// Bit-for-bit equality, except among NaNs. When both operands of an addition are NaN, IEEE 754
// leaves open which payload and sign the result carries, and GCC writes its SSE/AVX intrinsics
// as plain vector arithmetic that it may commute, so even the reference's NaN sign depends on
// register allocation. SQLite stores every NaN as NULL, so no result can tell NaNs apart.
// Anything else, including -0 against +0 and every subnormal, must match exactly.
testing::AssertionResult same_result(float got, float want) {
  uint32_t g = std::bit_cast<uint32_t>(got), w = std::bit_cast<uint32_t>(want);
  if (g == w) return testing::AssertionSuccess();
  if (w != kUntouched && g != kUntouched && std::isnan(got) && std::isnan(want))
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << std::hex << "got bits 0x" << g << " (" << got
                                     << "), want 0x" << w << " (" << want << ")";
}

std::vector<float> run(AnyBatch fn, const Inputs& in, size_t d, size_t count,
                       const uint8_t* candidates) {
  std::vector<float> out(count, std::bit_cast<float>(kUntouched));
  fn(in.query.data(), in.vectors(), d, count, candidates, out.data());
  return out;
}

std::vector<size_t> dimension_counts(Element e) {
  std::vector<size_t> dims;
  for (size_t d = 1; d <= 64; d++) dims.push_back(d);
  for (size_t d :
       {65,  95,   127,  128,  129,  200,  255,  256,  257,  258,  259,  384,  511,  512, 513,
        768, 1000, 1023, 1024, 1025, 1536, 2047, 2048, 3000, 4095, 4096, 5000, 8191, 8192})
    dims.push_back(d);
  if (e == Element::kBit) {  // bit counts are multiples of 8
    for (size_t& d : dims) d = d <= 64 ? d * 8 : (d + 7) / 8 * 8;
  }
  return dims;
}

void PrintTo(const Variant& variant, std::ostream* os) {
  *os << variant.name;
}

class KernelBatch : public testing::TestWithParam<Variant> {
 protected:
  void CheckAgainstReference(Kernel k) {
    const Variant& variant = GetParam();
    if (!variant.runs(k)) GTEST_SKIP() << "this CPU lacks " << variant.name;
    Element e = kKernels[k].element;
    const Data datas[] = {Data::kOrdinary, Data::kSpecials, Data::kTiny, Data::kHuge,
                          Data::kQueryNaN};
    for (size_t d : dimension_counts(e)) {
      bool large = d > 1024;
      std::vector<size_t> counts = large ? std::vector<size_t>{3, 40}
                                         : std::vector<size_t>{1, 3, 4, 5, 8, 15, 16, 17, 33, 300};
      for (size_t count : counts) {
        for (Data data : datas) {
          if (e != Element::kFloat32 && (data == Data::kTiny || data == Data::kQueryNaN)) continue;
          if (large && data != Data::kOrdinary && data != Data::kSpecials) continue;
          std::mt19937 rng((uint32_t)(d * 7919 + count * 31 + (int)data));
          Inputs in = make_inputs(rng, e, data, d, count);
          for (Bitmap b : {Bitmap::kNone, Bitmap::kAllSet, Bitmap::kRandom, Bitmap::kSparse,
                           Bitmap::kEmpty, Bitmap::kAlternate}) {
            if (large && b != Bitmap::kNone && b != Bitmap::kRandom) continue;
            std::vector<uint8_t> bits = make_bitmap(rng, b, count);
            const uint8_t* candidates = b == Bitmap::kNone ? nullptr : bits.data();
            std::vector<float> want = run(kReference[k], in, d, count, candidates);
            std::vector<float> got = run(variant.fns[k], in, d, count, candidates);
            for (size_t i = 0; i < count; i++) {
              ASSERT_TRUE(same_result(got[i], want[i]))
                  << kKernels[k].name << " " << variant.name << " d=" << d << " count=" << count
                  << " data=" << (int)data << " bitmap=" << (int)b << " slot=" << i;
            }
          }
        }
      }
    }
  }
};

TEST_P(KernelBatch, L2Float32MatchesReference) {
  CheckAgainstReference(kL2F32);
}
TEST_P(KernelBatch, L2Int8MatchesReference) {
  CheckAgainstReference(kL2I8);
}
TEST_P(KernelBatch, L1Float32MatchesReference) {
  CheckAgainstReference(kL1F32);
}
TEST_P(KernelBatch, L1Int8MatchesReference) {
  CheckAgainstReference(kL1I8);
}
TEST_P(KernelBatch, CosineFloat32MatchesReference) {
  CheckAgainstReference(kCosF32);
}
TEST_P(KernelBatch, CosineInt8MatchesReference) {
  CheckAgainstReference(kCosI8);
}
TEST_P(KernelBatch, HammingBitMatchesReference) {
  CheckAgainstReference(kHamming);
}

// Lane blocks: the sums of every variant, run over the dimensions in two pieces as the IVF bound
// does, are the reference's bit for bit, and the reference's square roots are the pair kernel's.
TEST_P(KernelBatch, L2Float32LanesMatchThePairKernel) {
  const Variant& variant = GetParam();
  if (!variant.runs(kL2F32)) GTEST_SKIP() << "this CPU lacks " << variant.name;
  constexpr size_t kLane = kKernelLaneBlock;
  for (size_t d : {1, 2, 7, 16, 33, 128, 300}) {
    for (size_t blocks : {1, 3, 4, 5, 9}) {
      for (Data data :
           {Data::kOrdinary, Data::kSpecials, Data::kTiny, Data::kHuge, Data::kQueryNaN}) {
        std::mt19937 rng((uint32_t)(d * 131 + blocks * 7 + (int)data));
        const size_t count = blocks * kLane;
        Inputs in = make_inputs(rng, Element::kFloat32, data, d, count);
        std::vector<float> vectors(count * d), lanes(count * d);
        memcpy(vectors.data(), in.vectors(), vectors.size() * sizeof(float));
        for (size_t j = 0; j < count; j++)
          for (size_t i = 0; i < d; i++)
            lanes[(j / kLane * d + i) * kLane + j % kLane] = vectors[j * d + i];
        const float* query = (const float*)in.query.data();
        const size_t split = d / 3;
        std::vector<float> want(count, 0.0f), got(count, 0.0f);
        kernel_l2_float32_lanes_reference(query, lanes.data(), d, blocks, 0, d, want.data());
        variant.l2Lanes(query, lanes.data(), d, blocks, 0, split, got.data());
        variant.l2Lanes(query, lanes.data(), d, blocks, split, d, got.data());
        for (size_t j = 0; j < count; j++) {
          ASSERT_TRUE(same_result(got[j], want[j]))
              << variant.name << " d=" << d << " blocks=" << blocks << " data=" << (int)data
              << " vector=" << j;
          ASSERT_TRUE(same_result(sqrtf(want[j]), kernel_l2_float32(&vectors[j * d], query, d)))
              << "reference d=" << d << " data=" << (int)data << " vector=" << j;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(KernelVariants, KernelBatch, testing::ValuesIn(kVariants),
                         [](const testing::TestParamInfo<Variant>& info) {
                           return std::string(info.param.name);
                         });

// The reference loop is the pair kernel with the stored vector first, narrowed to float, only on
// candidate slots; the KNN search and the SQL functions agree through it.
TEST(KernelBatchReference, IsThePairKernelOnCandidateSlots) {
  std::mt19937 rng(7);
  const size_t d = 24, count = 12;
  const uint8_t candidates[2] = {0x5B, 0x0C};
  for (int k = 0; k < kNumKernels; k++) {
    SCOPED_TRACE(kKernels[k].name);
    Element e = kKernels[k].element;
    Inputs in = make_inputs(rng, e, Data::kOrdinary, d, count);
    std::vector<float> out = run(kReference[k], in, d, count, candidates);
    size_t bytes = vector_bytes(e, d);
    for (size_t i = 0; i < count; i++) {
      const uint8_t* v = (const uint8_t*)in.vectors() + i * bytes;
      const void* q = in.query.data();
      float want = 0;
      switch (k) {
        case kL2F32:
          want = kernel_l2_float32((const float*)v, (const float*)q, d);
          break;
        case kL2I8:
          want = kernel_l2_int8((const int8_t*)v, (const int8_t*)q, d);
          break;
        case kL1F32:
          want = (float)kernel_l1_float32((const float*)v, (const float*)q, d);
          break;
        case kL1I8:
          want = (float)kernel_l1_int8((const int8_t*)v, (const int8_t*)q, d);
          break;
        case kCosF32:
          want = kernel_cosine_float32((const float*)v, (const float*)q, d);
          break;
        case kCosI8:
          want = kernel_cosine_int8((const int8_t*)v, (const int8_t*)q, d);
          break;
        default:
          want = kernel_hamming_bit(v, (const uint8_t*)q, d);
          break;
      }
      bool candidate = (candidates[i / 8] >> (i % 8)) & 1;
      EXPECT_EQ(std::bit_cast<uint32_t>(out[i]),
                candidate ? std::bit_cast<uint32_t>(want) : kUntouched)
          << "slot " << i;
    }
  }
}

// The KNN loop feeds a chunk in cache-sized pieces that start on multiples of 8 slots; the
// pieces together give exactly the whole chunk's distances.
TEST(KernelBatchDispatched, PiecesOfAChunkGiveTheWholeChunk) {
  std::mt19937 rng(11);
  const size_t count = 200;
  for (int k = 0; k < kNumKernels; k++) {
    SCOPED_TRACE(kKernels[k].name);
    Element e = kKernels[k].element;
    size_t d = e == Element::kBit ? 136 : 77;
    Inputs in = make_inputs(rng, e, Data::kOrdinary, d, count);
    std::vector<uint8_t> bits = make_bitmap(rng, Bitmap::kRandom, count);
    std::vector<float> whole = run(kVariants[0].fns[k], in, d, count, bits.data());
    for (size_t piece : {8, 24, 64, 136}) {
      std::vector<float> parts(count, std::bit_cast<float>(kUntouched));
      size_t bytes = vector_bytes(e, d);
      for (size_t first = 0; first < count; first += piece) {
        size_t n = count - first < piece ? count - first : piece;
        kVariants[0].fns[k](in.query.data(), (const uint8_t*)in.vectors() + first * bytes, d, n,
                            bits.data() + first / 8, parts.data() + first);
      }
      for (size_t i = 0; i < count; i++)
        ASSERT_EQ(std::bit_cast<uint32_t>(parts[i]), std::bit_cast<uint32_t>(whole[i]))
            << "piece " << piece << " slot " << i;
    }
  }
}

}  // namespace

// The dispatched names use the widest variant this CPU runs, and the reference loops when the
// fast kernels are built out. Concurrent first calls all see the same choice.
TEST(KernelBatchDispatched, ChoosesTheWidestVariantTheCpuRuns) {
  std::string want = "reference";
#if defined(JIX_X86_BATCH_KERNELS)
  want = cpu_avx512(kL2F32) ? "avx512" : cpu_avx2(kL2F32) ? "avx2" : "sse2";
#elif defined(JIX_ARM_BATCH_KERNELS)
  want = "neon";
#endif
  // A run under JIX_KERNELS sees the variant it asks for when this CPU runs it: the widest or
  // any narrower one.
  const std::vector<std::string> order = {"avx512", "avx2", "sse2", "reference"};
  const char* request = getenv("JIX_KERNELS");
  auto widest = std::find(order.begin(), order.end(), want);
  if (request != nullptr && (std::find(widest, order.end(), request) != order.end() ||
                             (want == "neon" && strcmp(request, "reference") == 0)))
    want = request;
  std::vector<std::thread> threads;
  std::vector<std::string> seen(4);
  for (size_t t = 0; t < seen.size(); t++)
    threads.emplace_back([&seen, t] { seen[t] = kernel_batch_variant(); });
  for (std::thread& thread : threads) thread.join();
  for (const std::string& name : seen) EXPECT_EQ(name, want);
#if !defined(JIX_FAST_KERNELS)
  EXPECT_EQ(want, "reference");
#endif
}

// The choice of variant is the widest supported one, narrowed only by a request naming another
// supported variant; anything else in the request is ignored.
TEST(KernelBatchDispatched, RequestOnlyNarrowsToASupportedVariant) {
  const KernelSupport none, x86Sse2{true, false, false, false}, x86Avx2{true, true, false, false},
      x86Avx512{true, true, true, false}, arm{false, false, false, true};
  struct Case {
    const char* request;
    KernelSupport support;
    KernelVariant want;
  } cases[] = {
      {nullptr, x86Avx512, KernelVariant::kAvx512},
      {nullptr, x86Avx2, KernelVariant::kAvx2},
      {nullptr, x86Sse2, KernelVariant::kSse2},
      {nullptr, arm, KernelVariant::kNeon},
      {nullptr, none, KernelVariant::kReference},
      {"avx2", x86Avx512, KernelVariant::kAvx2},
      {"sse2", x86Avx512, KernelVariant::kSse2},
      {"reference", x86Avx512, KernelVariant::kReference},
      {"avx512", x86Avx512, KernelVariant::kAvx512},
      {"sse2", x86Avx2, KernelVariant::kSse2},
      {"reference", arm, KernelVariant::kReference},
      {"neon", arm, KernelVariant::kNeon},
      // Requests this CPU or build cannot serve, and unknown words, leave the widest.
      {"avx512", x86Avx2, KernelVariant::kAvx2},
      {"avx2", x86Sse2, KernelVariant::kSse2},
      {"neon", x86Avx512, KernelVariant::kAvx512},
      {"avx2", arm, KernelVariant::kNeon},
      {"sse2", none, KernelVariant::kReference},
      {"", x86Avx512, KernelVariant::kAvx512},
      {"AVX2", x86Avx512, KernelVariant::kAvx512},
      {"avx2 ", x86Avx512, KernelVariant::kAvx512},
      {"fastest", arm, KernelVariant::kNeon},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kernel_choose_variant(c.request, c.support), c.want)
        << "request " << (c.request ? c.request : "(none)");
  }
}
