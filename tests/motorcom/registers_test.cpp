#include <gtest/gtest.h>

#include <set>
#include <string>

#include "motorcom/damiao/registers.hpp"

namespace {

using motorcom::damiao::kind_name;
using motorcom::damiao::lookup;
using motorcom::damiao::RegisterKind;
using motorcom::damiao::RegisterValue;

TEST(RegisterTable, HoldsFiftyThreeDistinctEntries) {
  int found = 0;
  std::set<std::string_view> names;
  for (int id = 0; id <= 255; ++id) {
    const auto* r = lookup(static_cast<std::uint8_t>(id));
    if (r == nullptr) continue;
    ++found;
    EXPECT_EQ(r->id, id);
    EXPECT_FALSE(r->description.empty()) << id;
    names.insert(r->name);
  }
  EXPECT_EQ(found, 53);
  EXPECT_EQ(names.size(), 53U);
}

TEST(RegisterTable, MissesTheGaps) {
  for (int id : {37, 40, 49, 57, 58, 66, 79, 82, 255}) EXPECT_EQ(lookup(static_cast<std::uint8_t>(id)), nullptr) << id;
  for (int id : {0, 36, 50, 56, 59, 65, 80, 81}) EXPECT_NE(lookup(static_cast<std::uint8_t>(id)), nullptr) << id;
}

TEST(RegisterTable, KindsAndAccess) {
  const std::set<int> uint32_ids{7, 8, 9, 10, 13, 14, 15, 16, 35, 36};
  for (int id = 0; id <= 255; ++id) {
    const auto* r = lookup(static_cast<std::uint8_t>(id));
    if (r == nullptr) continue;
    EXPECT_EQ(r->kind, uint32_ids.contains(id) ? RegisterKind::Uint32 : RegisterKind::Float) << id;
    const bool writable = id <= 10 || (id >= 21 && id <= 35);
    EXPECT_EQ(r->writable, writable) << id;
  }
  const auto* mode = lookup(10);
  ASSERT_NE(mode, nullptr);
  EXPECT_EQ(mode->name, "CTRL_MODE");
  EXPECT_EQ(mode->description, "Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS");
  EXPECT_EQ(lookup(81)->name, "xout");
  EXPECT_EQ(lookup(27)->name, "KP_APR");
}

TEST(RegisterValue, KeepsTheBitPattern) {
  EXPECT_EQ(RegisterValue::from_float(2.5F).bits, 0x40200000U);
  EXPECT_EQ(RegisterValue::from_float(2.5F).as_float(), 2.5F);
  EXPECT_EQ(RegisterValue::from_uint32(7).kind, RegisterKind::Uint32);
  EXPECT_EQ(kind_name(RegisterKind::Float), "Float");
  EXPECT_EQ(kind_name(RegisterKind::Uint32), "Uint32");
}

}  // namespace
