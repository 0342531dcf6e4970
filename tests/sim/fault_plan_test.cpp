#include "sim/camera/fault_plan.h"

#include <gtest/gtest.h>

namespace vk::sim {
namespace {

TEST(FaultPlan, ParsesEveryEntry) {
  std::string error;
  auto p = ParseFaultPlan(
      "unplug=5,stall=2,cut=100000:3,ack=0x07:4,chip=0x1500,nvram_readonly,silent",
      &error);
  ASSERT_TRUE(p) << error;
  EXPECT_EQ(p->unplug_after_frames, 5);
  EXPECT_EQ(p->stall_after_frames, 2);
  EXPECT_EQ(p->cut_frame_bytes, 100000u);
  EXPECT_EQ(p->cut_every, 3u);
  EXPECT_EQ(p->wrong_ack, 7);
  EXPECT_EQ(p->wrong_ack_count, 4u);
  EXPECT_EQ(p->chip_version, 0x1500);
  EXPECT_TRUE(p->nvram_refuses_writes);
  EXPECT_TRUE(p->silent);
}

TEST(FaultPlan, DefaultsAndEmptyText) {
  auto p = ParseFaultPlan("", nullptr);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->unplug_after_frames, -1);
  EXPECT_FALSE(p->wrong_ack.has_value());
  p = ParseFaultPlan("cut=512,ack=0", nullptr);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->cut_every, 1u);
  EXPECT_EQ(p->wrong_ack_count, 0u);
}

TEST(FaultPlan, RefusesMistypedEntries) {
  std::string error;
  for (const char* bad : {"unplug", "unplug=-1", "cut=0", "cut=10:0",
                          "ack=256", "chip=0x10000", "stal=1", "nvram_readonly=1", "silent=1",
                          "unplug=5x"}) {
    EXPECT_FALSE(ParseFaultPlan(bad, &error)) << bad;
    EXPECT_NE(error.find("bad fault entry"), std::string::npos);
  }
}

}  // namespace
}  // namespace vk::sim

#include <cstdlib>

#include "sim/camera/environment.h"

namespace vk::sim {
namespace {

TEST(Environment, CameraCountIsClampedAndDefaultsToOne) {
  unsetenv("VKCAM_SIM_CAMERAS");
  EXPECT_EQ(SimulatedCameraCount(), 1);
  setenv("VKCAM_SIM_CAMERAS", "12", 1);
  EXPECT_EQ(SimulatedCameraCount(), 8);
  setenv("VKCAM_SIM_CAMERAS", "0", 1);
  EXPECT_EQ(SimulatedCameraCount(), 0);
  setenv("VKCAM_SIM_CAMERAS", "two", 1);
  EXPECT_EQ(SimulatedCameraCount(), 1);
  unsetenv("VKCAM_SIM_CAMERAS");
}

TEST(Environment, FaultsAndMemoryFolderReachTheOptions) {
  setenv("VKCAM_SIM_FAULTS", "chip=0x1500", 1);
  setenv("VKCAM_SIM_NVRAM", ::testing::TempDir().c_str(), 1);
  CameraOptions o;
  std::string error;
  ASSERT_TRUE(CameraOptionsFromEnvironment(2, &o, &error)) << error;
  EXPECT_EQ(o.faults.chip_version, 0x1500);
  EXPECT_NE(o.nvram_file.find("camera-2.nvram"), std::string::npos);
  setenv("VKCAM_SIM_FAULTS", "chip=banana", 1);
  EXPECT_FALSE(CameraOptionsFromEnvironment(0, &o, &error));
  EXPECT_NE(error.find("VKCAM_SIM_FAULTS"), std::string::npos);
  unsetenv("VKCAM_SIM_FAULTS");
  unsetenv("VKCAM_SIM_NVRAM");
}

TEST(Environment, NoiseIsOnUnlessZero) {
  std::string error;
  unsetenv("VKCAM_SIM_NOISE");
  CameraOptions unset;
  ASSERT_TRUE(CameraOptionsFromEnvironment(0, &unset, &error)) << error;
  EXPECT_TRUE(unset.noise);
  setenv("VKCAM_SIM_NOISE", "0", 1);
  CameraOptions off;
  ASSERT_TRUE(CameraOptionsFromEnvironment(1, &off, &error)) << error;
  EXPECT_FALSE(off.noise);
  setenv("VKCAM_SIM_NOISE", "1", 1);
  CameraOptions on;
  ASSERT_TRUE(CameraOptionsFromEnvironment(0, &on, &error)) << error;
  EXPECT_TRUE(on.noise);
  unsetenv("VKCAM_SIM_NOISE");
}

}  // namespace
}  // namespace vk::sim
