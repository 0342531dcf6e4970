#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32.h"

namespace {

TEST(GlobalMemory, FixedHandleIsItsAddress) {
  HGLOBAL h = GlobalAlloc(GPTR, 100);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GlobalLock(h), h);
  EXPECT_EQ(GlobalHandle(h), h);
  EXPECT_EQ(GlobalSize(h), 100u);
  const auto* p = static_cast<const uint8_t*>(h);
  EXPECT_EQ(p[99], 0);  // zero-initialised
  EXPECT_EQ(GlobalFree(h), nullptr);
}

TEST(GlobalMemory, MovableHandleIsDistinctAndCountsLocks) {
  HGLOBAL h = GlobalAlloc(GHND, 64);
  ASSERT_NE(h, nullptr);
  void* p = GlobalLock(h);
  ASSERT_NE(p, nullptr);
  EXPECT_NE(p, h);
  EXPECT_EQ(GlobalHandle(p), h);
  EXPECT_EQ(GlobalLock(h), p);
  EXPECT_EQ(GlobalFlags(h) & GMEM_LOCKCOUNT, 2u);
  EXPECT_TRUE(GlobalUnlock(h));
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
  EXPECT_EQ(GlobalFree(h), nullptr);
}

TEST(GlobalMemory, ReallocKeepsMovableHandleAndContents) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 4);
  std::memcpy(GlobalLock(h), "abcd", 4);
  GlobalUnlock(h);
  HGLOBAL grown = GlobalReAlloc(h, 1 << 20, GMEM_MOVEABLE | GMEM_ZEROINIT);
  EXPECT_EQ(grown, h);
  EXPECT_EQ(GlobalSize(h), 1u << 20);
  const auto* p = static_cast<const char*>(GlobalLock(h));
  EXPECT_EQ(std::memcmp(p, "abcd", 4), 0);
  EXPECT_EQ(p[(1 << 20) - 1], 0);
  GlobalUnlock(h);
  GlobalFree(h);
}

TEST(GlobalMemory, FixedBlockGrowsOnlyWhenAllowedToMove) {
  HGLOBAL h = GlobalAlloc(GMEM_FIXED, 16);
  EXPECT_EQ(GlobalReAlloc(h, 1 << 20, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(GlobalSize(h), 16u);  // the old block is intact
  HGLOBAL moved = GlobalReAlloc(h, 1 << 20, GMEM_MOVEABLE);
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(GlobalHandle(moved), moved);
  if (moved != h) {
    EXPECT_EQ(GlobalSize(h), 0u);
  }
  GlobalFree(moved);
}

TEST(GlobalMemory, StaleAndForeignHandlesAreRefused) {
  HGLOBAL h = GlobalAlloc(GHND, 8);
  GlobalFree(h);
  EXPECT_EQ(GlobalLock(h), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GlobalSize(h), 0u);
  EXPECT_EQ(GlobalFree(h), h);
  int on_stack = 0;
  EXPECT_EQ(GlobalHandle(&on_stack), nullptr);
  EXPECT_EQ(GlobalFlags(&on_stack), GMEM_INVALID_HANDLE);
}

}  // namespace
