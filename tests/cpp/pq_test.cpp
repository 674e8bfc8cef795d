#include "search/pq.h"

#include <limits>
#include <tuple>

#include "search/distance.h"
#include "test_util.h"

namespace tessarin {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

PqConfig config_for(uint64_t dimension) { return *PqConfig::create(dimension, choose_num_subquantizers(dimension)); }

using testing::bits;

std::vector<float> random_floats(size_t n, uint32_t seed) { return testing::normal_vectors(1, n, seed)[0]; }

TEST(PqConfigTest, SubquantizersFollowTheDimensionAndUnsplittableShapesAreRefused) {
  const std::pair<uint64_t, uint64_t> table[] = {{384, 48}, {768, 48}, {1536, 48}, {128, 32},
                                                 {64, 32},  {16, 16},  {40, 8},     {100, 100},
                                                 {12, 12},  {3, 3},    {65536, 32}, {1, 1}};
  for (const auto& [dimension, m] : table) {
    EXPECT_EQ(choose_num_subquantizers(dimension), m) << dimension;
    EXPECT_EQ(config_for(dimension).subvector_len(), dimension / m) << dimension;
  }
  const std::tuple<uint64_t, uint64_t, std::string> refused[] = {
      {10, 3, "Invalid input: Dimension 10 must be divisible by num_subquantizers 3"},
      {10, 0, "Invalid input: Dimension 10 must be divisible by num_subquantizers 0"},
      {0, 48, "Invalid input: Dimensions must be greater than 0"},
      {uint64_t{1} << 40, 32, "Dimensions too large: maximum is 65536, got 1099511627776"},
  };
  for (const auto& [dimension, m, message] : refused) {
    Result<PqConfig> config = PqConfig::create(dimension, m);
    ASSERT_FALSE(config.ok()) << message;
    EXPECT_EQ(config.error().message(), message);
  }
}

// Centroid i must equal cycle[i mod cycle.size()].
TEST(PqKmeansTest, SeedingAndIterations) {
  using Points = std::vector<std::vector<float>>;
  const struct {
    const char* name;
    Points points;
    size_t k, iterations;
    Points cycle;
  } table[] = {
      {"one point fills every centroid", {{1, -2}}, 256, 10, {{1, -2}}},
      {"identical points", {{5}, {5}, {5}}, 256, 10, {{5}}},
      // After b is drawn every mind is 0: centroid i = p[i mod 4].
      {"total zero takes p[i mod n]", {{0, 0}, {1, 1}, {0, 0}, {0, 0}}, 256, 10,
       {{0, 0}, {1, 1}, {0, 0}, {0, 0}}},
      // Empty clusters keep their seeds; ties send each point to the lowest.
      {"three distinct points", {{0}, {1}, {10}}, 256, 10, {{0}, {1}, {10}}},
      // mind = {0, 1, 1}, target = 1/2 * 2: the walk stops where s == target.
      {"walk stops at equality", {{0}, {1}, {-1}}, 2, 0, {{0}, {1}}},
      {"one Lloyd step", {{0}, {1}, {-1}}, 2, 1, {{-0.5f}, {1}}},
      // Point 1 lies midway between seeds 0 and 2 and joins centroid 0.
      {"ties go to the lower centroid", {{0}, {2}, {1}}, 2, 1, {{0.5f}, {2}}},
      // The NaN distances leave mind[1] at FLT_MAX, so the walk draws the
      // NaN point for every later seed.
      {"NaN distances leave mind", {{0}, {kNaN}, {4}}, 3, 0, {{0}, {kNaN}, {kNaN}}},
      {"no points", {}, 4, 10, {{0, 0, 0}}},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.name);
    const size_t d = row.cycle[0].size();
    std::vector<float> flat;
    for (const auto& p : row.points) flat.insert(flat.end(), p.begin(), p.end());
    std::vector<float> want;
    for (size_t i = 0; i < row.k; ++i) {
      const auto& c = row.cycle[i % row.cycle.size()];
      want.insert(want.end(), c.begin(), c.end());
    }
    EXPECT_EQ(bits(train_kmeans(flat, d, row.k, row.iterations)), bits(want));
  }
}

TEST(PqTrainTest, NoVectorsGiveZeroCentroidsAndOnlyTheFirstTenThousandTrain) {
  const PqCodebook empty = train_pq(config_for(40), {}, false);
  EXPECT_EQ(bits(empty.centroids()), std::vector<uint32_t>(8 * 256 * 5, 0));
  const PqCodes none = encode_pq_parallel(empty, {});
  EXPECT_EQ(none.count(), 0u);
  EXPECT_TRUE(none.bytes().empty());

  std::vector<float> vectors;
  for (int j = 0; j < 10000; ++j) vectors.push_back(static_cast<float>(j % 100));
  vectors.push_back(1e6f);  // the seeding walk would draw it at once
  const PqCodebook book = train_pq(config_for(1), vectors, false);
  for (float c : book.centroids()) ASSERT_LT(c, 100.0f);
  EXPECT_EQ(encode_pq_parallel(book, vectors).count(), 10001u);
}

TEST(PqEncodeTest, TiesTakeTheLowestCentroidAndNanCodesAsZero) {
  // Two sub-vectors of one component; both codebooks alternate 0, 2, 0, 2...
  const PqCodebook book = train_pq(config_for(2), std::vector<float>{0, 0, 2, 2}, false);
  const std::vector<float> vectors = {1, 2, 3, -5, kNaN, 2, kInf, -kInf};
  const std::vector<uint8_t> want = {0, 1, 1, 0, 0, 1, 0, 0};
  const PqCodes codes = encode_pq_parallel(book, vectors);
  EXPECT_EQ(std::vector<uint8_t>(codes.bytes().begin(), codes.bytes().end()), want);
}

// The lane kernels against the scalar order: every table entry to the bit
// (also for a -0.0 query, whose dot-product sums of -0.0 products stay -0.0),
// adc_distance as the plain sum, and each code as the first minimum of its
// vector's own squared-distance table.
TEST(PqTableTest, MatchesTheScalarOrder) {
  auto mul = [](float x, float y) {
    volatile float p = x * y;  // rounded before the add
    return p;
  };
  for (const uint64_t dimension : {384, 100, 40, 12}) {
    SCOPED_TRACE(dimension);
    const PqConfig config = config_for(dimension);
    const size_t m_count = config.num_subquantizers(), len = config.subvector_len();
    const std::vector<float> data = random_floats(300 * dimension, 7);
    const std::vector<float> queries[] = {random_floats(dimension, 8),
                                          std::vector<float>(dimension, -0.0f)};
    for (const bool inner : {false, true}) {
      const PqCodebook book = train_pq(config, data, inner);
      const PqCodes codes = encode_pq_parallel(book, data);
      for (const std::vector<float>& query : queries) {
        const std::vector<float> table = build_adc_table(book, query);
        std::vector<float> want;
        for (size_t m = 0; m < m_count; ++m) {
          for (size_t c = 0; c < 256; ++c) {
            const float* y = &book.centroids()[(m * 256 + c) * len];
            float s = -0.0f;
            for (size_t t = 0; t < len; ++t) {
              const float x = query[m * len + t];
              s = s + (inner ? mul(x, y[t]) : mul(x - y[t], x - y[t]));
            }
            want.push_back(s);
          }
        }
        ASSERT_EQ(bits(table), bits(want));
        for (size_t i = 0; i < 300; i += 37) {
          float sum = 0.0f;
          for (size_t m = 0; m < m_count; ++m) sum = sum + table[m * 256 + codes.code(i)[m]];
          EXPECT_EQ(bits(adc_distance(table, codes.code(i))), bits(sum));
        }
        // Several at once, from codes padded to a wider stride: the same bits.
        const size_t stride = m_count + 5;
        std::vector<uint8_t> padded(300 * stride);
        for (size_t i = 0; i < 300; ++i) {
          std::copy_n(codes.code(i).data(), m_count, padded.begin() + static_cast<ptrdiff_t>(i * stride));
        }
        const std::vector<uint32_t> nodes = {299, 0, 17, 17, 150, 3, 42};  // a group of 4, then 3
        std::vector<float> many(nodes.size()), one;
        adc_distances(table, padded.data(), stride, nodes, many.data());
        for (const uint32_t x : nodes) one.push_back(adc_distance(table, codes.code(x)));
        EXPECT_EQ(bits(many), bits(one));
      }
      for (size_t i = 0; i < 300 && !inner; i += 37) {
        const std::vector<float> own =
            build_adc_table(book, std::span(data).subspan(i * dimension, dimension));
        for (size_t m = 0; m < m_count; ++m) {
          const auto row = own.begin() + static_cast<ptrdiff_t>(m * 256);
          EXPECT_EQ(codes.code(i)[m], std::min_element(row, row + 256) - row);
        }
      }
    }
  }
}

// The lane kernels run four rows at a time on SSE and eight on AVX2, each
// lane in the scalar order: training, codes and tables agree to the bit.
TEST(PqPathsTest, SseAndAvx2AgreeToTheBit) {
  if (!cpu_supports_avx2_fma()) GTEST_SKIP() << "no AVX2 here";
  const std::vector<float> data = random_floats(700 * 40, 12);  // 40 dims: 8 sub-vectors of 5
  struct Out {
    std::vector<uint32_t> centroids, table;
    std::vector<uint8_t> codes;
  };
  auto run = [&](KernelPath path) {
    EXPECT_TRUE(set_kernel_path_for_testing(path));
    const PqCodebook book = train_pq(config_for(40), data, true);
    const PqCodes codes = encode_pq_parallel(book, data);
    Out out{bits(book.centroids()), bits(build_adc_table(book, std::span(data).first(40))),
            std::vector<uint8_t>(codes.bytes().begin(), codes.bytes().end())};
    reset_kernel_path_for_testing();
    return out;
  };
  const Out sse = run(KernelPath::kSse), avx2 = run(KernelPath::kAvx2Fma);
  EXPECT_EQ(sse.centroids, avx2.centroids);
  EXPECT_EQ(sse.codes, avx2.codes);
  EXPECT_EQ(sse.table, avx2.table);
}

// The pool's size is fixed per process, so the same work runs in two child
// processes of this binary (RAYON_NUM_THREADS 1 and 8), each writing its
// codebook, codes and an inner-product table to a file.
class PqThreadCountTest : public testing::TempDirTest {};

TEST_F(PqThreadCountTest, ResultsAreTheSameOnOneAndEightThreads) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer cannot see the task hand-off of the (uninstrumented)
  // worker pool, so a child with 8 threads reports what is no race.
  GTEST_SKIP() << "needs a multi-threaded pool";
#endif
  if (const char* out = std::getenv("TESSARIN_PQ_OUTPUT")) {
    constexpr size_t kDim = 96, kCount = 3000;  // 48 training tasks, many encoding ones
    std::vector<float> data = random_floats(kCount * kDim, 11);
    data[5] = kNaN;
    const PqCodebook book = train_pq(config_for(kDim), data, true);
    const PqCodes codes = encode_pq_parallel(book, data);
    const std::vector<float> table = build_adc_table(book, std::span(data).first(kDim));
    std::string bytes;
    for (const auto b : {std::as_bytes(book.centroids()), std::as_bytes(codes.bytes()),
                         std::as_bytes(std::span(table))}) {
      bytes.append(reinterpret_cast<const char*>(b.data()), b.size());
    }
    testing::put_file(out, bytes);
    return;
  }
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  auto run = [&](const std::string& threads) {
    const std::string out = path("out" + threads);
    const std::string command = "RAYON_NUM_THREADS=" + threads + " TESSARIN_PQ_OUTPUT='" + out +
                                "' '" + self + "' --gtest_filter=" + info->test_suite_name() +
                                "." + info->name() + " > /dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return testing::file_bytes(out);
  };
  const std::string one = run("1");
  EXPECT_EQ(one.size(), 48u * 256 * 2 * 4 + 3000 * 48 + 48 * 256 * 4);
  EXPECT_TRUE(one == run("8"));
}

}  // namespace
}  // namespace tessarin
