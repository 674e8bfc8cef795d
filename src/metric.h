// Metric: the distance a collection is searched by. Its own header so the
// binary encoding can name it without pulling in the kernels
// (search/distance.h holds parse_metric, format_metric and the kernels).
//
// The numeric values are the u32 variant index of the binary encoding.
#pragma once

#include <cstdint>

namespace tessarin {

enum class Metric : uint32_t {
  kCosine = 0,  // higher score is better (dot product of unit vectors)
  kDot = 1,     // higher score is better
  kL2 = 2,      // squared euclidean distance; lower score is better
};

inline constexpr uint32_t kMetricVariantCount = 3;

}  // namespace tessarin
