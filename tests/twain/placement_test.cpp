// The source dialog's placement on its parent or the work area.
#include "twain/dialog/placement.h"

#include <gtest/gtest.h>

namespace vk::twain {
namespace {

const RECT kWork = {0, 0, 1920, 1040};
const RECT kDialog = {0, 0, 652, 526};

TEST(TwainPlacement, CentredOnTheParent) {
  const RECT parent = {100, 100, 1100, 900};
  const POINT p = PlaceDialog(kDialog, &parent, kWork);
  EXPECT_EQ(p.x, 600 - 326);
  EXPECT_EQ(p.y, 500 - 263);
}

TEST(TwainPlacement, CentredOnTheWorkAreaWithoutAParent) {
  const POINT p = PlaceDialog(kDialog, nullptr, kWork);
  EXPECT_EQ(p.x, 960 - 326);
  EXPECT_EQ(p.y, 520 - 263);
}

TEST(TwainPlacement, KeptInsideTheWorkArea) {
  const RECT right_edge = {1700, 900, 1900, 1040};
  POINT p = PlaceDialog(kDialog, &right_edge, kWork);
  EXPECT_EQ(p.x, 1920 - 652) << "moved left off the right edge";
  EXPECT_EQ(p.y, 1040 - 526) << "moved up off the bottom edge";
  const RECT left_edge = {-400, -300, 0, 0};
  p = PlaceDialog(kDialog, &left_edge, kWork);
  EXPECT_EQ(p.x, 0);
  EXPECT_EQ(p.y, 0);
}

TEST(TwainPlacement, OnlyAVisibleUnminimisedParentIsTheReference) {
  EXPECT_TRUE(CentresOnParent(kStyleVisible));
  EXPECT_TRUE(CentresOnParent(kStyleVisible | 0x00CF0000));  // an overlapped window
  EXPECT_FALSE(CentresOnParent(kStyleVisible | kStyleMinimised)) << "minimised";
  EXPECT_FALSE(CentresOnParent(0x00CF0000)) << "hidden";
  EXPECT_FALSE(CentresOnParent(kStyleMinimised));
}

}  // namespace
}  // namespace vk::twain
