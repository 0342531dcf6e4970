// The read path, isochronous transfers and the stream rings.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/common/wait.h"
#include "common/byte_order.h"
#include "link_fixture.h"

namespace vk::drv {
namespace {

using StreamingTest = LinkFixture;
constexpr uint32_t kFullFrame = 2048 * 1536;

TEST_F(StreamingTest, ReadBeforeEnableReadIsAnInvalidHandle) {
  std::vector<uint8_t> buffer(512);
  const Result r = Read(buffer.data(), 512);
  EXPECT_EQ(r.status, kStatusInvalidHandle);
  EXPECT_EQ(r.information, 0u);
}

TEST_F(StreamingTest, ReadLimitsAndZeroLength) {
  ASSERT_EQ(EnableRead().status, kStatusSuccess);
  StreamFullResolution();
  WatchUrbs();
  std::vector<uint8_t> buffer(3584001);
  EXPECT_EQ(Read(buffer.data(), 3584001).status, kStatusInvalidParameter);
  Result r = Read(buffer.data(), 0);
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.information, 0u);
  EXPECT_TRUE(Urbs().empty());
  // 3,584,000 bytes go as one transfer; the frame ends it short.
  r = Read(buffer.data(), 3584000);
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.information, kFullFrame);
  const auto urbs = Urbs();
  ASSERT_EQ(urbs.size(), 1u);
  const auto& urb = As<usb::UrbBulkOrInterruptTransfer>(urbs[0]);
  EXPECT_EQ(urb.Hdr.Length, 128);
  EXPECT_EQ(urb.TransferBufferLength, 3584000u);
  EXPECT_EQ(urb.TransferFlags, 3u);
  EXPECT_EQ(urb.TransferBuffer, nullptr);
  EXPECT_NE(urb.TransferBufferMDL, nullptr);
}

TEST_F(StreamingTest, ShortFinalPacketEndsTheRead) {
  sim::FaultPlan f;
  f.cut_frame_bytes = 3000000;
  CameraOf(camera_).SetFaults(f);
  ASSERT_EQ(EnableRead().status, kStatusSuccess);
  StreamFullResolution();
  std::vector<uint8_t> buffer(3145728);
  const Result r = Read(buffer.data(), 3145728);
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.information, 3000000u);
}

TEST_F(StreamingTest, EveryHandleReadsOnceEnabled) {
  ASSERT_EQ(EnableRead().status, kStatusSuccess);
  StreamFullResolution();
  std::shared_ptr<sim::OpenFile> other = OpenAnother();
  std::vector<uint8_t> chunk(2048 * 128);
  std::promise<kernel::IoStatus> done;
  io_.Read(*other, false, chunk.data(), chunk.size(),
           [&done](const kernel::IoStatus& io) { done.set_value(io); });
  EXPECT_EQ(done.get_future().get().information, chunk.size());
}

TEST_F(StreamingTest, FourReadsInFlightDeliverWholeFrames) {
  ASSERT_EQ(EnableRead().status, kStatusSuccess);
  StreamFullResolution();
  constexpr uint32_t kChunk = 2048 * 128;
  std::vector<std::vector<uint8_t>> slots(4, std::vector<uint8_t>(kChunk));
  std::vector<std::future<kernel::IoStatus>> results(4);
  std::vector<std::shared_ptr<std::promise<kernel::IoStatus>>> promises(4);
  auto issue = [&](int slot) {
    promises[slot] = std::make_shared<std::promise<kernel::IoStatus>>();
    results[slot] = promises[slot]->get_future();
    auto p = promises[slot];
    io_.Read(*file_, false, slots[slot].data(), kChunk,
             [p](const kernel::IoStatus& io) { p->set_value(io); });
  };
  for (int s = 0; s < 4; ++s) issue(s);
  // Two frames: 12 full chunks and the zero-length end, twice.
  std::vector<uintptr_t> sizes;
  for (int k = 0; k < 26; ++k) {
    const int slot = k % 4;
    sizes.push_back(results[slot].get().information);
    issue(slot);
  }
  for (int k = 0; k < 26; ++k)
    EXPECT_EQ(sizes[k], (k % 13 == 12) ? 0u : kChunk) << k;
  io_.Cancel(*file_, nullptr);
  for (auto& r : results) r.wait();
}

TEST_F(StreamingTest, UnplugWithReadsOutstandingCompletesThemAndRemoves) {
  ASSERT_EQ(EnableRead().status, kStatusSuccess);  // not streaming: reads wait
  std::vector<uint8_t> chunk(2048 * 128);
  std::vector<std::shared_ptr<std::promise<kernel::IoStatus>>> reads;
  for (int i = 0; i < 4; ++i) {
    auto p = std::make_shared<std::promise<kernel::IoStatus>>();
    io_.Read(*file_, false, chunk.data(), chunk.size(),
             [p](const kernel::IoStatus& io) { p->set_value(io); });
    reads.push_back(p);
  }
  while (camera_.bus->usb().QueuedTransfers() < 4) std::this_thread::yield();
  pnp().Unplug(camera_.id);
  for (auto& p : reads) EXPECT_FALSE(NtSuccess(p->get_future().get().status));
  EXPECT_FALSE(kernel().LinkExists(u"\\DosDevices\\trq5c-0"));
  // The open handle still works as far as the driver lets it: refused.
  uint8_t out[8];
  EXPECT_EQ(Ioctl(IOCTL_GET_DRIVER_VERSION, nullptr, 0, out, 8).status,
            kStatusDeletePending);
  camera_.bus.reset();
}

// The lower driver fails the transfer inside IoCallDriver (the device is
// stopped): the read completes with that status and pipe 0 is reset.
TEST_F(StreamingTest, ReadFailingAtOnceResetsPipeZero) {
  ASSERT_EQ(EnableRead().status, kStatusSuccess);
  const usb::UsbdPipeHandle pipe0 =
      Extension(0)->interface_record->Pipes[0].PipeHandle;
  ASSERT_EQ(pnp().SendPnp(camera_.id, kernel::kIrpMnStopDevice),
            kStatusSuccess);
  WatchUrbs();
  std::vector<uint8_t> buffer(512);
  EXPECT_EQ(Read(buffer.data(), 512).status, kStatusInvalidDeviceState);
  const auto urbs = Urbs();
  ASSERT_EQ(urbs.size(), 2u);
  EXPECT_EQ(As<usb::UrbHeader>(urbs[0]).Function,
            usb::kUrbFunctionBulkOrInterruptTransfer);
  EXPECT_EQ(As<usb::UrbHeader>(urbs[1]).Function, usb::kUrbFunctionResetPipe);
  EXPECT_EQ(As<usb::UrbPipeRequest>(urbs[1]).PipeHandle, pipe0);
  EXPECT_EQ(PendingIo(0), 1);
}

TEST_F(StreamingTest, CancelledReadCompletesCancelled) {
  ASSERT_EQ(EnableRead().status, kStatusSuccess);
  std::vector<uint8_t> chunk(512);
  std::promise<kernel::IoStatus> done;
  kernel::Irp* request = nullptr;
  io_.Read(
      *file_, false, chunk.data(), 512,
      [&done](const kernel::IoStatus& io) { done.set_value(io); }, &request);
  while (camera_.bus->usb().QueuedTransfers() < 1) std::this_thread::yield();
  EXPECT_TRUE(io_.Cancel(*file_, request));
  EXPECT_EQ(done.get_future().get().status, kStatusCancelled);
  EXPECT_EQ(PendingIo(0), 1);
}

// ---- Isochronous ----

class IsoTest : public LinkFixture {
 protected:
  void SetUp() override {
    LinkFixture::SetUp();
    const uint8_t alternate_one[2] = {0, 1};
    ASSERT_EQ(Ioctl(IOCTL_SET_INTERFACE, alternate_one, 2, nullptr, 0).status,
              kStatusSuccess);
  }
  static std::vector<uint8_t> Block(uint32_t count, uint32_t n, uint32_t t,
                                    uint32_t size = 1024) {
    std::vector<uint8_t> b(20);
    Encode(IsoTransferRequest{1, size, count, n, t}, b.data());
    return b;
  }
};

TEST_F(IsoTest, PacketCountMustBeAMultipleOfAPass) {
  std::vector<uint8_t> out(100 * (1024 + 12));
  const auto block = Block(100, 8, 4);
  EXPECT_EQ(
      Ioctl(IOCTL_ISO_READ, block.data(), 20, out.data(), out.size()).status,
      kStatusInvalidParameter);
  const auto zero = Block(96, 0, 4);
  EXPECT_EQ(
      Ioctl(IOCTL_ISO_READ, zero.data(), 20, out.data(), out.size()).status,
      kStatusInvalidParameter);
}

TEST_F(IsoTest, ZeroPacketCountIsRefusedWithoutTouchingTheBuffer) {
  StreamFullResolution();
  WatchUrbs();
  const auto block = Block(0, 8, 1);
  for (uint32_t code : {IOCTL_ISO_READ, IOCTL_ISO_WRITE}) {
    // A 16-byte output inside a larger allocation: nothing past it may move.
    std::vector<uint8_t> out(16 + 16384, 0xAB);
    EXPECT_EQ(Ioctl(code, block.data(), 20, out.data(), 16).status,
              kStatusInvalidParameter);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0xAB),
              static_cast<ptrdiff_t>(out.size()));
  }
  EXPECT_TRUE(Urbs().empty());
}

TEST_F(IsoTest, EachSlotRunsThreePassesAndRecordsFollowTheData) {
  StreamFullResolution();
  WatchUrbs();
  const auto block = Block(96, 8, 4);
  std::vector<uint8_t> out(96 * (1024 + 12));
  const Result r =
      Ioctl(IOCTL_ISO_READ, block.data(), 20, out.data(), out.size());
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.information, 0u);
  const auto urbs = Urbs();
  ASSERT_EQ(urbs.size(), 12u);  // 4 slots x 3 passes
  EXPECT_EQ(As<usb::UrbHeader>(urbs[0]).Length, 152 + 12 * 8);
  EXPECT_EQ(As<usb::UrbIsochTransfer>(urbs[0]).TransferFlags, 7u);
  for (uint32_t p = 0; p < 96; ++p) {
    const uint8_t* record = out.data() + 96 * 1024 + p * 12;
    EXPECT_EQ(LoadLe32(record), (p % 8) * 1024) << p;  // offset in its slice
    EXPECT_EQ(LoadLe32(record + 4), 1024u) << p;
  }
  EXPECT_EQ(Ioctl(IOCTL_ISO_READ, block.data(), 20, out.data(), out.size() - 1)
                .status,
            kStatusUnsuccessful);
}

// An unplugged camera's lower driver fails every URB inside IoCallDriver:
// each of a slot's 64 passes completes at once, and none nests in another.
TEST_F(IsoTest, PassesFailingAtOnceDoNotNest) {
  camera_.bus->usb().Disconnect();
  WatchUrbs();
  const auto block = Block(64, 1, 1);
  std::vector<uint8_t> out(64 * (1024 + 12));
  EXPECT_EQ(
      Ioctl(IOCTL_ISO_READ, block.data(), 20, out.data(), out.size()).status,
      kStatusSuccess);
  EXPECT_EQ(Urbs().size(), 64u);
  EXPECT_LE(sim::verifier::MaxCompletionDepth(), 2);
}

TEST_F(IsoTest, StreamFillsTheRingsUntilStopped) {
  StreamFullResolution();
  const auto block = Block(64, 8, 2);
  ASSERT_EQ(Ioctl(IOCTL_START_ISO_STREAM, block.data(), 20, nullptr, 0).status,
            kStatusSuccess);
  EXPECT_EQ(Ioctl(IOCTL_START_ISO_STREAM, block.data(), 20, nullptr, 0).status,
            kStatusInvalidDeviceState);
  std::vector<uint8_t> out(64 * (1024 + 12));
  EXPECT_EQ(
      Ioctl(IOCTL_READ_ISO_BUFFER, block.data(), 20, out.data(), out.size() + 1)
          .status,
      kStatusInvalidParameter);
  // The first frame may take a while to render (the scene is built once).
  uintptr_t got = 0;
  ASSERT_TRUE(WaitUntil([&] {
    got = Ioctl(IOCTL_READ_ISO_BUFFER, block.data(), 20, out.data(), out.size())
              .information;
    return got > 0;
  }));
  EXPECT_EQ(got % (1024 + 12), 0u);  // whole packets with their records
  EXPECT_EQ(Ioctl(IOCTL_STOP_ISO_STREAM, nullptr, 0, nullptr, 0).status,
            kStatusSuccess);
  NtStatus status = kStatusSuccess;
  WaitUntil([&] {
    status =
        Ioctl(IOCTL_READ_ISO_BUFFER, block.data(), 20, out.data(), out.size())
            .status;
    return status != kStatusSuccess;
  });
  EXPECT_EQ(status, kStatusUnsuccessful);  // the rings are gone
  // The stream's own count goes just after its rings.
  WaitUntil([&] { return PendingIo(0) == 1; });
  EXPECT_EQ(PendingIo(0), 1);
}

TEST_F(IsoTest, StreamOfZeroSizeOrCountIsRefusedWithoutAllocating) {
  const sim::PoolStats before = kernel().Pool();
  for (const auto& block : {Block(64, 8, 2, 0), Block(0, 8, 2)}) {
    EXPECT_EQ(
        Ioctl(IOCTL_START_ISO_STREAM, block.data(), 20, nullptr, 0).status,
        kStatusInvalidParameter);
  }
  EXPECT_EQ(kernel().Pool().live_blocks, before.live_blocks);
  EXPECT_EQ(Extension(0)->stream, nullptr);
  EXPECT_EQ(PendingIo(0), 1);
}

// The dispatcher has entered the pending-I/O count when removal begins; the
// stream's own entry is then refused and nothing is launched.
TEST_F(IsoTest, StreamStartedOnceRemovalHasBegunIsRefused) {
  DeviceExtension* ext = Extension(0);
  auto block = Block(64, 8, 2);
  kernel::Irp* irp = kernel().NewIrp(1);
  irp->system_buffer = block.data();
  kernel::StackLocation s{};
  s.major = kernel::kIrpMjDeviceControl;
  s.control_code = IOCTL_START_ISO_STREAM;
  s.input_length = 20;
  const sim::PoolStats before = kernel().Pool();
  kernel::StoreByte(&ext->removing, 1);
  EXPECT_EQ(StartIsoStream(ext, irp, s), kStatusDeletePending);
  EXPECT_EQ(ext->stream, nullptr);
  EXPECT_EQ(PendingIo(0), 1);
  EXPECT_EQ(kernel().Pool().live_blocks, before.live_blocks);
  kernel::StoreByte(&ext->removing, 0);
  irp->system_buffer = nullptr;
  kernel().FreeIrp(irp);
}

TEST_F(IsoTest, ReadIsoBufferOutputOneByteShortIsRefused) {
  const auto block = Block(64, 8, 2);
  ASSERT_EQ(Ioctl(IOCTL_START_ISO_STREAM, block.data(), 20, nullptr, 0).status,
            kStatusSuccess);
  std::vector<uint8_t> out(64 * (1024 + 12), 0xAB);
  const Result r = Ioctl(IOCTL_READ_ISO_BUFFER, block.data(), 20, out.data(),
                         out.size() - 1);
  EXPECT_EQ(r.status, kStatusInvalidParameter);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(std::count(out.begin(), out.end(), 0xAB),
            static_cast<ptrdiff_t>(out.size()));
  EXPECT_EQ(Ioctl(IOCTL_STOP_ISO_STREAM, nullptr, 0, nullptr, 0).status,
            kStatusSuccess);
}

TEST_F(IsoTest, RemovalEndsARunningStream) {
  const auto block = Block(64, 8, 2);
  ASSERT_EQ(Ioctl(IOCTL_START_ISO_STREAM, block.data(), 20, nullptr, 0).status,
            kStatusSuccess);
  const sim::PoolStats before = kernel().Pool();
  EXPECT_EQ(pnp().SendPnp(camera_.id, kernel::kIrpMnRemoveDevice),
            kStatusSuccess);
  EXPECT_LT(kernel().Pool().live_blocks, before.live_blocks);
}

// ---- Rings ----

TEST(StreamRing, AppendNeverSplitsAndTakeWraps) {
  sim::SimKernel kernel;
  StreamRing* ring = NewStreamRing(kernel, 32);
  ASSERT_NE(ring, nullptr);
  uint8_t bytes[32];
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(RingAppend(kernel, ring, bytes, 22), 22u);
  // 10 bytes free: an append of 12 is refused and changes nothing.
  EXPECT_EQ(RingAppend(kernel, ring, bytes, 12), 0u);
  EXPECT_EQ(ring->in_use, 22u);
  EXPECT_EQ(ring->write_position, 22u);
  uint8_t out[32] = {};
  EXPECT_EQ(RingTake(kernel, ring, out, 20), 20u);
  EXPECT_EQ(out[19], 19);
  // Wraps: 10 bytes from 22 to 32, 2 at the start.
  EXPECT_EQ(RingAppend(kernel, ring, bytes + 20, 12), 12u);
  EXPECT_EQ(ring->write_position, 2u);
  EXPECT_EQ(RingTake(kernel, ring, out, 32), 14u);
  EXPECT_EQ(out[0], 20);
  EXPECT_EQ(out[13], 31);
  EXPECT_EQ(RingTake(kernel, ring, out, 33), 0u);  // more than the capacity
  EXPECT_EQ(RingTake(kernel, ring, out, 4), 0u);   // empty
  FreeStreamRing(kernel, ring);
  EXPECT_EQ(kernel.Pool().live_blocks, 0u);
}

// Two writers (slots completing on two processors) and two readers (two
// handles): every chunk comes out whole and no byte is lost or invented.
TEST(StreamRing, ConcurrentWritersAndReadersKeepChunksWhole) {
  sim::SimKernel kernel;
  constexpr uint32_t kChunk = 12;
  StreamRing* ring = NewStreamRing(kernel, 10 * kChunk);
  ASSERT_NE(ring, nullptr);
  constexpr int kRounds = 50000;
  std::atomic<uint64_t> appended{0}, taken{0};
  std::atomic<int> torn{0};
  std::atomic<bool> writing{true};
  auto writer = [&](uint8_t id) {
    for (int i = 0; i < kRounds; ++i) {
      uint8_t chunk[kChunk];
      std::memset(chunk, id + (i & 0x3F), kChunk);
      appended += RingAppend(kernel, ring, chunk, kChunk);
    }
  };
  auto reader = [&] {
    uint8_t chunk[kChunk];
    while (writing || taken < appended) {
      const uint32_t n = RingTake(kernel, ring, chunk, kChunk);
      if (n == 0) continue;
      taken += n;
      if (n != kChunk || std::count(chunk, chunk + kChunk, chunk[0]) != kChunk)
        ++torn;
    }
  };
  std::thread readers[2] = {std::thread(reader), std::thread(reader)};
  std::thread writers[2] = {std::thread(writer, 0), std::thread(writer, 0x80)};
  for (auto& w : writers) w.join();
  writing = false;
  for (auto& r : readers) r.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(appended.load(), taken.load());
  EXPECT_LT(ring->write_position, ring->capacity);
  EXPECT_LT(ring->read_position, ring->capacity);
  FreeStreamRing(kernel, ring);
}

}  // namespace
}  // namespace vk::drv
