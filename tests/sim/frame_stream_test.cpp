// The image stream as the SDK's frame reader sees it: chunks of 128 rows,
// and the short or zero-length read that ends each frame.
#include <gtest/gtest.h>

#include <vector>

#include "sim_fixture.h"

namespace vk::sim {
namespace {

class FrameStreamTest : public SimFixture {
 protected:
  // Reads chunk-sized transfers until one ends short; returns their sizes.
  std::vector<uint32_t> ReadUntilShort(uint32_t chunk) {
    std::vector<uint32_t> sizes;
    buffer_.resize(chunk);
    for (int i = 0; i < 64; ++i) {
      const TransferResult r = client_->BulkRead(kImagePipe, buffer_.data(), chunk);
      EXPECT_EQ(r.status, kStatusSuccess);
      sizes.push_back(r.bytes);
      if (r.bytes < chunk) break;
    }
    return sizes;
  }

  std::vector<uint8_t> buffer_;
};

TEST_F(FrameStreamTest, FullResolutionIsTwelveChunksThenZeroLength) {
  SelectResolution(0);
  StartStreaming();
  std::vector<uint32_t> expected(12, 262144);
  expected.push_back(0);
  EXPECT_EQ(ReadUntilShort(2048 * 128), expected);
  EXPECT_EQ(ReadUntilShort(2048 * 128), expected);  // and the next frame
}

TEST_F(FrameStreamTest, HalfResolutionIsSixChunksThenZeroLength) {
  SelectResolution(1);
  StartStreaming();
  std::vector<uint32_t> expected(6, 131072);
  expected.push_back(0);
  EXPECT_EQ(ReadUntilShort(1024 * 128), expected);
}

TEST_F(FrameStreamTest, VgaIsThreeChunksThenTheRemainder) {
  SelectResolution(2);
  StartStreaming();
  const std::vector<uint32_t> expected = {81920, 81920, 81920, 61440};
  EXPECT_EQ(ReadUntilShort(640 * 128), expected);
  EXPECT_EQ(ReadUntilShort(640 * 128), expected);
}

TEST_F(FrameStreamTest, ReaderStartingMidFrameEndsShortAtTheFrameEnd) {
  SelectResolution(2);
  StartStreaming();
  std::vector<uint8_t> head(100352);  // 196 packets of the first frame
  ASSERT_EQ(client_->BulkRead(kImagePipe, head.data(), head.size()).bytes,
            100352u);
  // 307200 - 100352 = 206848 left: two chunks and 43008 bytes.
  const std::vector<uint32_t> rest = {81920, 81920, 43008};
  EXPECT_EQ(ReadUntilShort(640 * 128), rest);
  const std::vector<uint32_t> whole = {81920, 81920, 81920, 61440};
  EXPECT_EQ(ReadUntilShort(640 * 128), whole);
}

TEST_F(FrameStreamTest, FourReadsInFlightCompleteInOrder) {
  SelectResolution(2);
  StartStreaming();
  std::vector<std::vector<uint8_t>> slots(4, std::vector<uint8_t>(81920));
  std::vector<std::unique_ptr<PendingTransfer>> reads;
  for (auto& s : slots)
    reads.push_back(client_->StartBulkRead(kImagePipe, s.data(), 81920));
  EXPECT_EQ(reads[0]->Wait().bytes, 81920u);
  EXPECT_EQ(reads[1]->Wait().bytes, 81920u);
  EXPECT_EQ(reads[2]->Wait().bytes, 81920u);
  EXPECT_EQ(reads[3]->Wait().bytes, 61440u);
}

TEST_F(FrameStreamTest, FramesCarryTheGeneratorsBytesInRowOrder) {
  camera_->SetFrameGenerator([](const FrameInfo& info, uint8_t* out) {
    for (uint32_t i = 0; i < info.geometry.bytes(); ++i)
      out[i] = static_cast<uint8_t>(i / info.geometry.width + info.number);
  });
  SelectResolution(2);
  StartStreaming();
  std::vector<uint8_t> frame(640 * 480 + 81920);
  uint32_t got = 0;
  for (int i = 0; i < 4; ++i)
    got += client_->BulkRead(kImagePipe, frame.data() + got, 81920).bytes;
  ASSERT_EQ(got, 640u * 480);
  EXPECT_EQ(frame[0], 1);                 // frame 1, row 0
  EXPECT_EQ(frame[640 * 479], (479 + 1) & 0xFF);
}

TEST_F(FrameStreamTest, HotPixelsShowAtFullScale) {
  CameraOptions o;
  o.hot_pixels = {{10, 20, 255}};
  Plug(o);
  camera_->SetFrameGenerator(nullptr);
  SelectResolution(0);
  ASSERT_TRUE(client_->WriteSensor(9, 1));  // nearly dark
  StartStreaming();
  std::vector<uint8_t> chunk(2048 * 128);
  ASSERT_EQ(client_->BulkRead(kImagePipe, chunk.data(), chunk.size()).bytes,
            chunk.size());
  EXPECT_EQ(chunk[20 * 2048 + 10], 255);
  EXPECT_LT(chunk[20 * 2048 + 12], 10);
}

TEST_F(FrameStreamTest, CutFrameEndsWithAShortPacket) {
  FaultPlan f;
  f.cut_frame_bytes = 100000;
  f.cut_every = 2;
  camera_->SetFaults(f);
  SelectResolution(2);
  StartStreaming();
  const std::vector<uint32_t> whole = {81920, 81920, 81920, 61440};
  EXPECT_EQ(ReadUntilShort(640 * 128), whole);
  const std::vector<uint32_t> cut = {81920, 18080};
  EXPECT_EQ(ReadUntilShort(640 * 128), cut);
  EXPECT_EQ(ReadUntilShort(640 * 128), whole);
}

TEST_F(FrameStreamTest, RestartWordBeginsANewFrame) {
  SelectResolution(2);
  StartStreaming();
  std::vector<uint8_t> chunk(81920);
  client_->BulkRead(kImagePipe, chunk.data(), chunk.size());
  ASSERT_TRUE(client_->StreamControl(kStreamRestart));
  const std::vector<uint32_t> whole = {81920, 81920, 81920, 61440};
  EXPECT_EQ(ReadUntilShort(640 * 128), whole);
}

TEST_F(FrameStreamTest, ReadWaitsWhileNotStreamingUntilCancelled) {
  SelectResolution(2);
  std::vector<uint8_t> chunk(81920);
  auto read = client_->StartBulkRead(kImagePipe, chunk.data(), chunk.size());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(read->Ready());
  EXPECT_TRUE(device_->Cancel(read->urb()));
  const TransferResult r = read->Wait();
  EXPECT_EQ(r.status, kStatusCancelled);
  EXPECT_EQ(r.usbd_status, kUsbdStatusCanceled);
  EXPECT_FALSE(device_->Cancel(read->urb()));
}

TEST_F(FrameStreamTest, SensorOutputOffStopsTheStream) {
  SelectResolution(2);
  StartStreaming();
  ASSERT_TRUE(client_->WriteSensor(7, 0));
  std::vector<uint8_t> chunk(81920);
  auto read = client_->StartBulkRead(kImagePipe, chunk.data(), chunk.size());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(read->Ready());
  ASSERT_TRUE(client_->WriteSensor(7, 2));
  EXPECT_EQ(read->Wait().bytes, 81920u);
}

TEST_F(FrameStreamTest, BufferEndingInsideAPacketBabbles) {
  SelectResolution(2);
  StartStreaming();
  std::vector<uint8_t> buffer(1000);
  const TransferResult r = client_->BulkRead(kImagePipe, buffer.data(), 1000);
  EXPECT_EQ(r.usbd_status, kUsbdStatusBabbleDetected);
  EXPECT_EQ(r.status, kStatusUnsuccessful);
}

}  // namespace
}  // namespace vk::sim

namespace vk::sim {
namespace {

TEST_F(FrameStreamTest, ZeroLengthTransferTakesNothingFromTheStream) {
  SelectResolution(2);
  StartStreaming();
  EXPECT_EQ(client_->BulkRead(kImagePipe, nullptr, 0).bytes, 0u);
  const std::vector<uint32_t> whole = {81920, 81920, 81920, 61440};
  EXPECT_EQ(ReadUntilShort(640 * 128), whole);
}

}  // namespace
}  // namespace vk::sim
