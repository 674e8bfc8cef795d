#include "search/distance.h"

#include <cmath>
#include <limits>

#include "test_util.h"

namespace tessarin {
namespace {

// x * y rounded to f32 before any add (volatile blocks FMA contraction).
float mul(float x, float y) {
  volatile float p = x * y;
  return p;
}

using testing::bits;

// Scalar reference of a path's documented order: 4 lanes (SSE) or 8 fused
// lanes (AVX2+FMA, folded as acc[l] + acc[l+4]), reduced as
// (acc0 + acc2) + (acc1 + acc3), then the tail by unfused products.
float reference(const std::vector<float>& a, const std::vector<float>& b, bool l2, KernelPath path) {
  const size_t lanes = path == KernelPath::kSse ? 4 : 8, full = a.size() / lanes * lanes;
  auto x = [&](size_t i) { return l2 ? a[i] - b[i] : a[i]; };
  auto y = [&](size_t i) { return l2 ? a[i] - b[i] : b[i]; };
  float acc[8] = {};
  for (size_t i = 0; i < full; ++i) {
    float& s = acc[i % lanes];
    s = lanes == 8 ? std::fma(x(i), y(i), s) : s + mul(x(i), y(i));
  }
  for (size_t l = 0; l < 4 && lanes == 8; ++l) acc[l] = acc[l] + acc[l + 4];
  float s = (acc[0] + acc[2]) + (acc[1] + acc[3]);
  for (size_t i = full; i < a.size(); ++i) s = s + mul(x(i), y(i));
  return s;
}

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

class KernelPathTest : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override {
    if (!set_kernel_path_for_testing(GetParam())) GTEST_SKIP() << "no AVX2+FMA here";
  }
  void TearDown() override { reset_kernel_path_for_testing(); }
};

TEST_P(KernelPathTest, BitIdenticalToScalarReference) {
  const KernelPath path = GetParam();
  const bool sse = path == KernelPath::kSse;
  ASSERT_EQ(active_kernel_path(), path);
  auto* dot = sse ? compute_dot_sse : compute_dot_avx2;
  auto* l2 = sse ? compute_l2_squared_sse : compute_l2_squared_avx2;
  std::vector<size_t> lengths = {384, 768, 1536};
  for (size_t n = 0; n <= 40; ++n) lengths.push_back(n);
  std::mt19937 rng(42);
  for (size_t n : lengths) {
    for (int trial = 0; trial < 8; ++trial) {
      SCOPED_TRACE("n=" + std::to_string(n) + " trial=" + std::to_string(trial));
      const std::vector<float> a = random_vector(rng, n), b = random_vector(rng, n);
      const float want_dot = reference(a, b, false, path), want_l2 = reference(a, b, true, path);
      EXPECT_EQ(bits(dot(a.data(), b.data(), n)), bits(want_dot));
      EXPECT_EQ(bits(l2(a.data(), b.data(), n)), bits(want_l2));
      EXPECT_EQ(bits(compute_distance(Metric::kCosine, a, b)), bits(want_dot));
      EXPECT_EQ(bits(compute_distance(Metric::kDot, a, b)), bits(want_dot));
      EXPECT_EQ(bits(compute_distance(Metric::kL2, a, b)), bits(want_l2));

      // The norm: strictly sequential on SSE, the path's dot of a with itself otherwise.
      float sq = 0.0f;
      for (float x : a) sq = sq + mul(x, x);
      const float norm = std::sqrt(sse ? sq : reference(a, a, false, path));
      const std::vector<float> prepared = prepare_vector(Metric::kCosine, a);
      ASSERT_EQ(prepared.size(), n);
      for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(bits(prepared[i]), bits(norm < 0x1p-23f ? 0.0f : mul(a[i], 1.0f / norm))) << i;
      }
    }
  }
}

TEST_P(KernelPathTest, CosineNormalisationThreshold) {
  // Norm exactly 2^-23 is normalised; just below gives zeros of the same length.
  EXPECT_EQ(prepare_vector(Metric::kCosine, std::vector<float>{0x1p-23f, 0.0f, 0.0f}),
            (std::vector<float>{1.0f, 0.0f, 0.0f}));
  EXPECT_EQ(prepare_vector(Metric::kCosine, std::vector<float>{0x1p-24f, -0x1p-25f}),
            (std::vector<float>{0.0f, 0.0f}));
  // A NaN component makes the norm NaN (not below the threshold): all NaN.
  for (size_t n : {3, 11}) {
    std::vector<float> v(n, 1.0f);
    v[1] = std::numeric_limits<float>::quiet_NaN();
    for (float x : prepare_vector(Metric::kCosine, v)) EXPECT_TRUE(std::isnan(x));
  }
  // Dot and L2 copy the vector unchanged.
  const std::vector<float> raw = {0x1p-30f, -3.0f, std::numeric_limits<float>::infinity()};
  EXPECT_EQ(prepare_vector(Metric::kDot, raw), raw);
  EXPECT_EQ(prepare_vector(Metric::kL2, raw), raw);
}

INSTANTIATE_TEST_SUITE_P(Paths, KernelPathTest,
                         ::testing::Values(KernelPath::kSse, KernelPath::kAvx2Fma),
                         [](const ::testing::TestParamInfo<KernelPath>& info) {
                           return info.param == KernelPath::kSse ? "Sse" : "Avx2Fma";
                         });

TEST(ParseMetricTest, NamesInAnyAsciiCaseOnly) {
  const std::pair<const char*, Metric> accepted[] = {
      {"cosine", Metric::kCosine}, {"CoSiNe", Metric::kCosine}, {"DoT", Metric::kDot},
      {"l2", Metric::kL2},         {"L2", Metric::kL2},         {"EuClIDEAN", Metric::kL2},
  };
  for (const auto& [text, metric] : accepted) {
    Result<Metric> parsed = parse_metric(text);
    ASSERT_TRUE(parsed.ok()) << text;
    EXPECT_EQ(*parsed, metric) << text;
  }
  const std::string refused[] = {
      "cos", "", " cosine", "l2 ", "Euclid", std::string("l2\0", 3),
      // Full Unicode lower-casing must not make these match: U+0130 lower-cases
      // to "i" + U+0307, U+212A KELVIN SIGN to ASCII "k" (in no name), and
      // fullwidth or small-capital letters stay non-ASCII.
      "COS\u0130NE", "EUCL\u0130DEAN", "\u212A", "l2\u212A", "dot\u0307",
      "\uFF43\uFF4F\uFF53\uFF49\uFF4E\uFF45", "\u1D04osine", "co\xC5\xBFine",
  };
  for (const std::string& text : refused) {
    Result<Metric> parsed = parse_metric(text);
    ASSERT_FALSE(parsed.ok()) << text;
    EXPECT_EQ(parsed.error().text(), "Invalid metric '" + text + "'. Expected: cosine, dot, l2");
  }
  // (The names printed: database_test.cpp's "exists with metric" text, the
  // export header, the Python metric property.)
}

}  // namespace
}  // namespace tessarin
