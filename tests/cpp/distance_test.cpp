#include "search/distance.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace tessarin {
namespace {

// ---- Scalar references, written from the documented order of operations --

// x * y rounded to f32 before any add (volatile blocks FMA contraction).
float mul(float x, float y) {
  volatile float p = x * y;
  return p;
}

float ref_dot_sse(const std::vector<float>& a, const std::vector<float>& b) {
  const size_t n = a.size();
  float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  for (size_t g = 0; g < n / 4; ++g) {
    for (size_t l = 0; l < 4; ++l) acc[l] = acc[l] + mul(a[4 * g + l], b[4 * g + l]);
  }
  float s = (acc[0] + acc[2]) + (acc[1] + acc[3]);
  for (size_t i = n / 4 * 4; i < n; ++i) s = s + mul(a[i], b[i]);
  return s;
}

float ref_l2_sse(const std::vector<float>& a, const std::vector<float>& b) {
  const size_t n = a.size();
  float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  for (size_t g = 0; g < n / 4; ++g) {
    for (size_t l = 0; l < 4; ++l) {
      const float d = a[4 * g + l] - b[4 * g + l];
      acc[l] = acc[l] + mul(d, d);
    }
  }
  float s = (acc[0] + acc[2]) + (acc[1] + acc[3]);
  for (size_t i = n / 4 * 4; i < n; ++i) {
    const float d = a[i] - b[i];
    s = s + mul(d, d);
  }
  return s;
}

float reduce8(const float acc[8]) {
  float t[4];
  for (size_t l = 0; l < 4; ++l) t[l] = acc[l] + acc[l + 4];
  return (t[0] + t[2]) + (t[1] + t[3]);
}

float ref_dot_avx2(const std::vector<float>& a, const std::vector<float>& b) {
  const size_t n = a.size();
  float acc[8] = {};
  for (size_t g = 0; g < n / 8; ++g) {
    for (size_t l = 0; l < 8; ++l) acc[l] = std::fma(a[8 * g + l], b[8 * g + l], acc[l]);
  }
  float s = reduce8(acc);
  for (size_t i = n / 8 * 8; i < n; ++i) s = s + mul(a[i], b[i]);
  return s;
}

float ref_l2_avx2(const std::vector<float>& a, const std::vector<float>& b) {
  const size_t n = a.size();
  float acc[8] = {};
  for (size_t g = 0; g < n / 8; ++g) {
    for (size_t l = 0; l < 8; ++l) {
      const float d = a[8 * g + l] - b[8 * g + l];
      acc[l] = std::fma(d, d, acc[l]);
    }
  }
  float s = reduce8(acc);
  for (size_t i = n / 8 * 8; i < n; ++i) {
    const float d = a[i] - b[i];
    s = s + mul(d, d);
  }
  return s;
}

std::vector<float> ref_normalise(const std::vector<float>& v, float norm) {
  if (norm < 0x1p-23f) return std::vector<float>(v.size(), 0.0f);
  const float inv = 1.0f / norm;
  std::vector<float> out;
  for (float x : v) out.push_back(mul(x, inv));
  return out;
}

float ref_norm_sequential(const std::vector<float>& v) {
  float s = 0.0f;
  for (float x : v) s = s + mul(x, x);
  return std::sqrt(s);
}

uint32_t bits(float x) { return std::bit_cast<uint32_t>(x); }

// Values of mixed sign and magnitude, with denormals and exact zeros mixed in.
std::vector<float> random_vector(std::mt19937& rng, size_t n) {
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::uniform_int_distribution<int> kind(0, 9);
  std::vector<float> v(n);
  for (float& x : v) {
    switch (kind(rng)) {
      case 0: x = unit(rng) * 1e-39f; break;  // denormal
      case 1: x = unit(rng) * 1e-20f; break;  // products underflow to denormal/zero
      case 2: x = unit(rng) * 1e6f; break;
      case 3: x = (kind(rng) & 1) ? -0.0f : 0.0f; break;
      default: x = unit(rng) * 4.0f; break;
    }
  }
  return v;
}

std::vector<size_t> grid_lengths() {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 40; ++n) lengths.push_back(n);
  for (size_t n : {384, 768, 1536}) lengths.push_back(n);
  return lengths;
}

struct PathCase {
  KernelPath path;
  float (*ref_dot)(const std::vector<float>&, const std::vector<float>&);
  float (*ref_l2)(const std::vector<float>&, const std::vector<float>&);
  float (*kernel_dot)(const float*, const float*, size_t);
  float (*kernel_l2)(const float*, const float*, size_t);
};

void PrintTo(const PathCase& c, std::ostream* os) {
  *os << (c.path == KernelPath::kSse ? "sse" : "avx2+fma");
}

class KernelPathTest : public ::testing::TestWithParam<PathCase> {
 protected:
  void SetUp() override {
    if (!set_kernel_path_for_testing(GetParam().path)) GTEST_SKIP() << "no AVX2+FMA here";
  }
  void TearDown() override { reset_kernel_path_for_testing(); }

  // The reference norm of the path: the path's dot of v with itself for
  // AVX2+FMA, the strictly sequential sum for SSE.
  float ref_norm(const std::vector<float>& v) const {
    if (GetParam().path == KernelPath::kSse) return ref_norm_sequential(v);
    return std::sqrt(ref_dot_avx2(v, v));
  }
};

TEST_P(KernelPathTest, BitIdenticalToScalarReference) {
  const PathCase& c = GetParam();
  ASSERT_EQ(active_kernel_path(), c.path);
  std::mt19937 rng(42);
  for (size_t n : grid_lengths()) {
    for (int trial = 0; trial < 8; ++trial) {
      const std::vector<float> a = random_vector(rng, n);
      const std::vector<float> b = random_vector(rng, n);
      const float dot = c.ref_dot(a, b);
      const float l2 = c.ref_l2(a, b);
      SCOPED_TRACE("n=" + std::to_string(n) + " trial=" + std::to_string(trial));
      EXPECT_EQ(bits(c.kernel_dot(a.data(), b.data(), n)), bits(dot));
      EXPECT_EQ(bits(c.kernel_l2(a.data(), b.data(), n)), bits(l2));
      EXPECT_EQ(bits(compute_distance(Metric::kCosine, a, b)), bits(dot));
      EXPECT_EQ(bits(compute_distance(Metric::kDot, a, b)), bits(dot));
      EXPECT_EQ(bits(compute_distance(Metric::kL2, a, b)), bits(l2));

      const std::vector<float> expected = ref_normalise(a, ref_norm(a));
      const std::vector<float> prepared = prepare_vector(Metric::kCosine, a);
      ASSERT_EQ(prepared.size(), n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(bits(prepared[i]), bits(expected[i])) << i;
    }
  }
}

TEST_P(KernelPathTest, DegenerateInputs) {
  const std::vector<float> empty;
  for (Metric m : {Metric::kCosine, Metric::kDot, Metric::kL2}) {
    EXPECT_EQ(bits(compute_distance(m, empty, empty)), bits(0.0f));
    EXPECT_TRUE(prepare_vector(m, empty).empty());
  }
  std::mt19937 rng(7);
  for (size_t n : {1, 7, 8, 9, 384}) {
    const std::vector<float> v = random_vector(rng, n);
    EXPECT_EQ(bits(compute_distance(Metric::kL2, v, v)), bits(0.0f)) << n;
  }
  // The reported L2 score is squared: distance 2 reports 4.
  const std::vector<float> a = {1.0f, 2.0f, 3.0f};
  const std::vector<float> b = {1.0f, 2.0f, 5.0f};
  EXPECT_EQ(compute_distance(Metric::kL2, a, b), 4.0f);
}

TEST_P(KernelPathTest, CosineNormalisationThreshold) {
  // Norm exactly 2^-23 is normalised, not zeroed.
  EXPECT_EQ(prepare_vector(Metric::kCosine, std::vector<float>{0x1p-23f, 0.0f, 0.0f}),
            (std::vector<float>{1.0f, 0.0f, 0.0f}));
  // Just below: zeros of the same length; a zero vector stays zero.
  EXPECT_EQ(prepare_vector(Metric::kCosine, std::vector<float>{0x1p-24f, -0x1p-25f}),
            (std::vector<float>{0.0f, 0.0f}));
  EXPECT_EQ(prepare_vector(Metric::kCosine, std::vector<float>(9, 0.0f)),
            std::vector<float>(9, 0.0f));
  // A NaN component: the norm is NaN, not below the threshold, so every
  // component comes out NaN.
  for (size_t n : {3, 11}) {
    std::vector<float> v(n, 1.0f);
    v[1] = std::numeric_limits<float>::quiet_NaN();
    for (float x : prepare_vector(Metric::kCosine, v)) EXPECT_TRUE(std::isnan(x));
  }
  // Dot and L2 copy the vector unchanged, NaN and tiny values included.
  const std::vector<float> raw = {0x1p-30f, -3.0f, std::numeric_limits<float>::infinity()};
  EXPECT_EQ(prepare_vector(Metric::kDot, raw), raw);
  EXPECT_EQ(prepare_vector(Metric::kL2, raw), raw);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, KernelPathTest,
    ::testing::Values(PathCase{KernelPath::kSse, ref_dot_sse, ref_l2_sse, compute_dot_sse,
                               compute_l2_squared_sse},
                      PathCase{KernelPath::kAvx2Fma, ref_dot_avx2, ref_l2_avx2, compute_dot_avx2,
                               compute_l2_squared_avx2}),
    [](const ::testing::TestParamInfo<PathCase>& info) {
      return info.param.path == KernelPath::kSse ? std::string("Sse") : std::string("Avx2Fma");
    });

TEST(KernelPathChoiceTest, DetectedPathFollowsProcessor) {
  reset_kernel_path_for_testing();
  EXPECT_EQ(active_kernel_path(),
            cpu_supports_avx2_fma() ? KernelPath::kAvx2Fma : KernelPath::kSse);
}

// ---- Metric names ---------------------------------------------------------

TEST(ParseMetricTest, AcceptsNamesInAnyCase) {
  const std::pair<const char*, Metric> cases[] = {
      {"cosine", Metric::kCosine}, {"COSINE", Metric::kCosine}, {"CoSiNe", Metric::kCosine},
      {"dot", Metric::kDot},       {"DoT", Metric::kDot},       {"l2", Metric::kL2},
      {"L2", Metric::kL2},         {"euclidean", Metric::kL2},  {"EuClIDEAN", Metric::kL2},
  };
  for (const auto& [text, metric] : cases) {
    Result<Metric> parsed = parse_metric(text);
    ASSERT_TRUE(parsed.ok()) << text;
    EXPECT_EQ(*parsed, metric) << text;
  }
  for (Metric m : {Metric::kCosine, Metric::kDot, Metric::kL2}) {
    EXPECT_EQ(*parse_metric(lowercase_metric_name(m)), m);
  }
  EXPECT_EQ(format_metric(Metric::kCosine), "Cosine");
  EXPECT_EQ(format_metric(Metric::kDot), "Dot");
  EXPECT_EQ(format_metric(Metric::kL2), "L2");
}

TEST(ParseMetricTest, RefusesOtherTextQuotingItAsGiven) {
  const std::string refused[] = {
      "cos", "", "manhattan", " cosine", "cosine ", "l2 ", "Euclid", std::string("l2\0", 3),
      // Full Unicode lower-casing must not make these match: U+0130 lower-cases
      // to "i" + U+0307, U+212A KELVIN SIGN to ASCII "k" (in no name), and
      // fullwidth or small-capital letters stay non-ASCII.
      "COS\u0130NE", "EUCL\u0130DEAN", "cos\u0130ne", "\u212A", "l2\u212A", "dot\u0307",
      "\uFF43\uFF4F\uFF53\uFF49\uFF4E\uFF45", "\u1D04osine", "\u0130", "co\xC5\xBFine",
  };
  for (const std::string& text : refused) {
    Result<Metric> parsed = parse_metric(text);
    ASSERT_FALSE(parsed.ok()) << text;
    EXPECT_EQ(parsed.error().text(), "Invalid metric '" + text + "'. Expected: cosine, dot, l2");
  }
  EXPECT_EQ(parse_metric("COS\u0130NE").error().text(),
            "Invalid metric 'COS\u0130NE'. Expected: cosine, dot, l2");
}

}  // namespace
}  // namespace tessarin
