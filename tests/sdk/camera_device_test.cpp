// CCameraDevice through the whole simulated stack.
#include "sdk/core/camera_device.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "sdk_fixture.h"

namespace vk {
namespace {

using CameraDeviceTest = SdkFixture;

TEST_F(CameraDeviceTest, EnumeratesAndSelects) {
  world::World::Get().Plug();
  world::World::Get().Plug();
  CCameraDevice device;
  EXPECT_EQ(device.camera_count(), 3);
  EXPECT_EQ(device.SelectCamera(2), 1);
  EXPECT_EQ(device.selected_camera(), 1);
  EXPECT_EQ(device.SelectCamera(0), 0);
  EXPECT_EQ(device.selected_camera(), 0);
  device.SelectCamera(3);
  EXPECT_EQ(device.SelectCamera(4), 0);
  EXPECT_EQ(device.selected_camera(), 0);
}

TEST_F(CameraDeviceTest, WithoutCamerasNothingOpensOrChanges) {
  UnplugAll();
  CCameraDevice device;
  EXPECT_EQ(device.camera_count(), 0);
  EXPECT_EQ(device.SelectCamera(1), 0);
  EXPECT_EQ(device.Open(true), 0u);
}

TEST_F(CameraDeviceTest, OpenReadsBothStringsThenStartsTheLink) {
  CCameraDevice device;
  ASSERT_EQ(device.Open(true), 1u);
  const auto requests = Camera().Requests();
  ASSERT_EQ(requests.size(), 7u);
  const uint16_t lengths[4] = {4, 2 + 2 * 8, 4,
                               static_cast<uint16_t>(2 + 2 * 19)};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(requests[i].setup.request, 6) << i;  // GET_DESCRIPTOR
    EXPECT_EQ(requests[i].setup.value, 0x0300 | (i < 2 ? 1 : 2)) << i;
    EXPECT_EQ(requests[i].setup.index, kStringLanguageId) << i;
    EXPECT_EQ(requests[i].setup.length, lengths[i]) << i;
  }
  for (int i = 4; i < 7; ++i) {
    EXPECT_EQ(requests[i].setup.request, VR_STREAM_CONTROL);
    EXPECT_EQ(requests[i].setup.index, 15);
  }
  EXPECT_EQ(requests[4].setup.value, 1);
  EXPECT_EQ(requests[5].setup.value, 0);
  EXPECT_EQ(requests[6].setup.value, 1);
  // A second open skips the descriptors.
  Camera().ClearRequests();
  ASSERT_EQ(device.Open(false), 1u);
  EXPECT_TRUE(Camera().Requests().empty());
}

TEST_F(CameraDeviceTest, StringDescriptorIsNarrowedToSixtyThreeCharacters) {
  sim::CameraOptions o;
  o.product = std::string(100, 'x');
  UnplugAll();
  world::World::Get().Plug(o);
  CCameraDevice device;
  ASSERT_EQ(device.Open(false), 1u);
  char text[64];
  std::memset(text, 'z', sizeof(text));
  ASSERT_TRUE(device.ReadStringDescriptor(text, 2));
  EXPECT_EQ(std::strlen(text), 63u);
}

TEST_F(CameraDeviceTest, EmptyStringDescriptorFailsTheOpen) {
  sim::CameraOptions o;
  o.product_descriptor = {0, 3};
  UnplugAll();
  world::World::Get().Plug(o);
  CCameraDevice device;
  EXPECT_EQ(device.Open(true), 0u);
  EXPECT_EQ(device.handle(), INVALID_HANDLE_VALUE);
}

// An odd length leaves half a code unit at the end, which the narrowing
// never reaches: the open goes on with the whole units.
TEST_F(CameraDeviceTest, OddStringDescriptorLengthOpensWithTheWholeUnits) {
  const std::vector<std::pair<std::vector<uint8_t>, std::string>> cases = {
      {{1, 3}, ""},
      {{3, 3, 'a'}, ""},
      {{7, 3, 'a', 0, 'b', 0, 'c'}, "ab"},
  };
  for (const auto& [descriptor, narrowed] : cases) {
    SCOPED_TRACE(descriptor.size());
    sim::CameraOptions o;
    o.product_descriptor = descriptor;
    UnplugAll();
    world::World::Get().Plug(o);
    CCameraDevice device;
    ASSERT_EQ(device.Open(true), 1u);
    char text[64];
    std::memset(text, 'z', sizeof(text));
    ASSERT_TRUE(device.ReadStringDescriptor(text, 2));
    EXPECT_EQ(std::string(text), narrowed);
  }
}

TEST_F(CameraDeviceTest, SensorRequestsNeedTheAcknowledgeByte) {
  CCameraDevice device;
  uint16_t v = 0xBEEF;
  EXPECT_FALSE(device.ReadSensorRegister(0, &v));  // not opened yet
  EXPECT_EQ(v, 0xBEEF);
  ASSERT_EQ(device.Open(true), 1u);
  EXPECT_TRUE(device.WriteSensorRegister(9, 0x1234));
  EXPECT_TRUE(device.ReadSensorRegister(9, &v));
  EXPECT_EQ(v, 0x1234);
  sim::FaultPlan f;
  f.wrong_ack = 0;
  f.wrong_ack_count = 1;
  Camera().SetFaults(f);
  EXPECT_FALSE(device.ReadSensorRegister(9, &v));
  EXPECT_EQ(v, 0x1234);  // stored even so
  EXPECT_TRUE(device.ReadSensorRegister(9, &v));
}

TEST_F(CameraDeviceTest, GpioAndMemoryWords) {
  CCameraDevice device;
  ASSERT_EQ(device.Open(true), 1u);
  EXPECT_TRUE(device.ConfigureGpio(0x0F));
  EXPECT_EQ(device.GpioTransfer(0x05, true), 0xF5);
  EXPECT_EQ(device.GpioTransfer(0, false), 0xF5);
  EXPECT_TRUE(device.WriteMemoryWord(0x2400, 0x4142));
  uint16_t word = 0;
  EXPECT_TRUE(device.ReadMemoryWord(0x2400, &word));
  EXPECT_EQ(word, 0x4142);
}

class ReadFrameTest : public SdkFixture {
 protected:
  // Streams the given sensor window; frames carry their number in every
  // byte, so a frame mixing two is seen.
  void Stream(CCameraDevice& device, std::vector<RegisterWrite> mode, int width,
              int height) {
    Camera().SetFrameGenerator([](const sim::FrameInfo& f, uint8_t* out) {
      std::memset(out, static_cast<int>(f.number & 0xFF), f.geometry.bytes());
    });
    ASSERT_EQ(device.Open(true), 1u);
    for (auto [reg, value] : mode) ASSERT_TRUE(device.WriteSensorRegister(reg, value));
    device.SetFrameSize(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    ASSERT_TRUE(device.SetStreamControl(3));
    frame_.assign(static_cast<size_t>(width) * height, 0);
  }
  // Reads `bytes` of the stream in one read, as a reader that stopped
  // part-way through a frame would have; what was read.
  std::vector<uint8_t> Skip(CCameraDevice& device, uint32_t bytes) {
    std::vector<uint8_t> part(bytes);
    OVERLAPPED o{};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ReadFile(device.handle(), part.data(), bytes, nullptr, &o);
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(device.handle(), &o, &n, TRUE));
    EXPECT_EQ(n, bytes);
    CloseHandle(o.hEvent);
    return part;
  }
  bool Uniform() const {
    for (uint8_t b : frame_) {
      if (b != frame_[0]) return false;
    }
    return true;
  }
  std::vector<uint8_t> frame_;
};

const std::vector<RegisterWrite> kFull = {{1, 21}, {2, 33}, {4, 2047}, {3, 1535},
                                          {34, 0}, {35, 0}};
const std::vector<RegisterWrite> kHalf = {{1, 21}, {2, 33}, {4, 2047}, {3, 1535},
                                          {34, 0x11}, {35, 0x11}};
const std::vector<RegisterWrite> kVga = {{1, 21}, {2, 36}, {4, 1919}, {3, 1439},
                                         {34, 0x22}, {35, 0x22}};

TEST_F(ReadFrameTest, GoodFramesAtEveryResolution) {
  struct Case {
    const std::vector<RegisterWrite>* mode;
    int width, height;
  };
  for (const Case& c : {Case{&kFull, 2048, 1536}, Case{&kHalf, 1024, 768},
                        Case{&kVga, 640, 480}}) {
    CCameraDevice device;
    Stream(device, *c.mode, c.width, c.height);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(device.ReadFrame(frame_.data()), 1) << c.width;
      EXPECT_TRUE(Uniform()) << c.width;
    }
  }
}

// A reader entering mid-frame realigns on the frame's end and then reads
// the next frame whole. 640 x 480 is three chunks of 81,920 bytes and a
// short end of 61,440: skipping one, two or three chunks leaves one, two or
// three reads in flight behind the end. 1024 x 768 is six whole chunks of
// 131,072 bytes and a zero-length end.
TEST_F(ReadFrameTest, EnteredMidFrameRealignsOnce) {
  struct Case {
    const std::vector<RegisterWrite>* mode;
    int width, height;
    uint32_t chunk, skipped;
  };
  for (const Case& c :
       {Case{&kVga, 640, 480, 81920, 1}, Case{&kVga, 640, 480, 81920, 2},
        Case{&kVga, 640, 480, 81920, 3}, Case{&kHalf, 1024, 768, 131072, 1},
        Case{&kHalf, 1024, 768, 131072, 3}, Case{&kHalf, 1024, 768, 131072, 5}}) {
    SCOPED_TRACE(std::to_string(c.width) + " skipping " + std::to_string(c.skipped));
    CCameraDevice device;
    Stream(device, *c.mode, c.width, c.height);
    const std::vector<uint8_t> part = Skip(device, c.skipped * c.chunk);
    EXPECT_EQ(device.ReadFrame(frame_.data()), 1);
    EXPECT_TRUE(Uniform());
    EXPECT_NE(frame_[0], part[0]);  // the next frame, whole
  }
}

TEST_F(ReadFrameTest, FullChunkWhereTheZeroLengthEndBelongsMakesTheFrameBad) {
  CCameraDevice device;
  // The camera sends 2048 x 1536 frames; the reader expects 1024 x 768,
  // whose seventh read must be the zero-length end.
  Stream(device, kFull, 2048, 1536);
  device.SetFrameSize(1024, 768);
  EXPECT_EQ(device.ReadFrame(frame_.data()), 0);
}

TEST_F(ReadFrameTest, SecondShortReadMakesTheFrameBad) {
  sim::FaultPlan f;
  f.cut_frame_bytes = 100000;  // every frame ends early
  Camera().SetFaults(f);
  CCameraDevice device;
  Stream(device, kVga, 640, 480);
  EXPECT_EQ(device.ReadFrame(frame_.data()), 0);
  Camera().SetFaults({});
  int good = 0;
  for (int i = 0; i < 3; ++i) good += device.ReadFrame(frame_.data()) == 1;
  EXPECT_GE(good, 2);
}

TEST_F(ReadFrameTest, SmallRegionOfInterestStillGivesGoodFrames) {
  CCameraDevice device;
  // 640 x 256: two whole chunks and the zero-length end, fewer than four.
  Stream(device, {{4, 639}, {3, 255}, {1, 21}, {2, 33}, {34, 0}, {35, 0}}, 640,
         256);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(device.ReadFrame(frame_.data()), 1);
    EXPECT_TRUE(Uniform());
  }
  // And 640 x 100: one short read only.
  Stream(device, {{3, 99}}, 640, 100);
  frame_.resize(640 * 100);
  EXPECT_EQ(device.ReadFrame(frame_.data()), 1);
}

TEST_F(ReadFrameTest, UnplugFailsTheRead) {
  CCameraDevice device;
  Stream(device, kVga, 640, 480);
  Camera().SetFrameGenerator([](const sim::FrameInfo& f, uint8_t* out) {
    std::memset(out, 0, f.geometry.bytes());
  });
  world::World::Get().Unplug(camera_id_);
  EXPECT_EQ(device.ReadFrame(frame_.data()), -1);
}

}  // namespace
}  // namespace vk
