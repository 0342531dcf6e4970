// Requests whose output is METHOD_IN_DIRECT and still comes back from the
// camera. The I/O manager locks such an output for reading only (the
// simulated one hands the driver a copy it checks unchanged), so the driver
// must lock the caller's range again for writing before anything lands in
// it. Every case records the verifier's reports instead of stopping.
#include <algorithm>
#include <mutex>
#include <string>

#include "common/byte_order.h"
#include "link_fixture.h"
#include "sim/kernel/verifier.h"

namespace vk::drv {
namespace {

constexpr uint8_t kCallerFill = 0xEE;
constexpr uint8_t kPixel = 0x5A;

class WritableOutputTest : public LinkFixture {
 protected:
  void SetUp() override {
    sim::verifier::SetHandler([this](const sim::Violation& v) {
      std::lock_guard lock(mutex_);
      rules_.push_back(v.rule);
    });
    LinkFixture::SetUp();
    // Flat frames: every byte the camera sends is known.
    CameraOf(camera_).SetFrameGenerator(
        [](const sim::FrameInfo& info, uint8_t* out) {
          std::fill_n(out, info.geometry.bytes(), kPixel);
        });
  }
  void TearDown() override {
    LinkFixture::TearDown();
    sim::verifier::SetHandler(nullptr);
  }
  std::vector<std::string> Rules() {
    std::lock_guard lock(mutex_);
    return std::exchange(rules_, {});
  }

  std::mutex mutex_;
  std::vector<std::string> rules_;
};

TEST_F(WritableOutputTest, VendorInDataStageReachesTheCaller) {
  std::vector<uint8_t> out(64, kCallerFill);
  const Result r = VendorIn(10, 0, 0, out.data(), 64);  // sensor register 0
  EXPECT_EQ(r.status, kStatusSuccess);
  ASSERT_EQ(r.information, 3u);
  EXPECT_EQ(out[0], 0x16);  // chip version, high byte first
  EXPECT_EQ(out[2], 8);     // acknowledged
  EXPECT_EQ(std::count(out.begin() + 3, out.end(), kCallerFill), 61);
  EXPECT_EQ(Rules(), std::vector<std::string>{});
}

TEST_F(WritableOutputTest, VendorOutDataStageLeavesTheCallersBytes) {
  std::vector<uint8_t> out(16, kCallerFill);
  uint8_t block[10];
  Encode(VendorRequestBlock{0, 2, 0, 0, 0xA0, 0, 0x100, 0}, block);
  EXPECT_EQ(Ioctl(IOCTL_VENDOR_REQUEST, block, 10, out.data(), 16).status,
            kStatusSuccess);
  EXPECT_EQ(std::count(out.begin(), out.end(), kCallerFill), 16);
  EXPECT_EQ(Rules(), std::vector<std::string>{});
}

TEST_F(WritableOutputTest, BulkWriteOnAnInEndpointDeliversTheCamerasBytes) {
  StreamFullResolution();
  uint8_t index[4];
  StoreLe32(index, 1);  // the image endpoint, bulk IN
  std::vector<uint8_t> chunk(2048 * 128, kCallerFill);
  const Result r =
      Ioctl(IOCTL_BULK_WRITE, index, 4, chunk.data(), chunk.size());
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.information, chunk.size());
  EXPECT_EQ(std::count(chunk.begin(), chunk.end(), kPixel),
            static_cast<ptrdiff_t>(chunk.size()));
  EXPECT_EQ(Rules(), std::vector<std::string>{});
}

TEST_F(WritableOutputTest, IsoWriteRecordsReachTheCaller) {
  const uint8_t alternate_one[2] = {0, 1};
  ASSERT_EQ(Ioctl(IOCTL_SET_INTERFACE, alternate_one, 2, nullptr, 0).status,
            kStatusSuccess);
  StreamFullResolution();
  std::vector<uint8_t> block(20);
  Encode(IsoTransferRequest{1, 1024, 32, 8, 2}, block.data());
  std::vector<uint8_t> out(32 * (1024 + 12), kCallerFill);
  EXPECT_EQ(
      Ioctl(IOCTL_ISO_WRITE, block.data(), 20, out.data(), out.size()).status,
      kStatusSuccess);
  for (uint32_t p = 0; p < 32; ++p) {
    const uint8_t* record = out.data() + 32 * 1024 + p * 12;
    EXPECT_EQ(LoadLe32(record), (p % 8) * 1024) << p;  // offset in its slice
    EXPECT_EQ(LoadLe32(record + 4), 1024u) << p;       // bytes received
    EXPECT_EQ(LoadLe32(record + 8), 0u) << p;          // USBD status
  }
  // The pipe is IN: the data area holds what the camera sent.
  EXPECT_EQ(std::count(out.begin(), out.begin() + 32 * 1024, kPixel),
            32 * 1024);
  EXPECT_EQ(Rules(), std::vector<std::string>{});
}

}  // namespace
}  // namespace vk::drv
