// Record ids made by add: version-4 UUID text.
#include "collection/state.h"

#include <gtest/gtest.h>

#include <set>

namespace tessarin {
namespace {

TEST(UuidTest, TextSetsVersionAndVariantBitsAndIsFreshEachTime) {
  const uint8_t bytes[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0xff, 0x77,
                             0xff, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0x0f};
  EXPECT_EQ(uuid_v4_text(bytes), "00112233-4455-4f77-bf99-aabbccddee0f");

  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string id = make_uuid_v4().value();
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(id[14], '4');
    EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
    seen.insert(std::move(id));
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace tessarin
