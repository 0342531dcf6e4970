// Many cameras plugged and unplugged, and allocation failures at every
// allocation site: nothing leaks, no link or instance number is left behind.
#include <atomic>
#include <future>
#include <random>
#include <thread>

#include "common/control_codes.h"
#include "common/wire_blocks.h"
#include "driver_fixture.h"
#include "sim/kernel/io_manager.h"

namespace vk::drv {
namespace {

using StressTest = DriverFixture;

TEST_F(StressTest, RandomPlugAndUnplugOfEightCamerasLeavesNothingBehind) {
  const sim::PoolStats baseline = kernel().Pool();
  const size_t devices = kernel().DeviceCount();
  std::mt19937 random(7);
  std::vector<int> plugged;
  for (int step = 0; step < 3000; ++step) {
    const bool plug =
        plugged.empty() || (plugged.size() < 8 && random() % 2 == 0);
    if (plug) {
      const sim::PluggedCamera c = Plug();
      ASSERT_EQ(c.add_status, kStatusSuccess) << "step " << step;
      plugged.push_back(c.id);
    } else {
      const size_t k = random() % plugged.size();
      pnp().Unplug(plugged[k]);
      plugged.erase(plugged.begin() + static_cast<long>(k));
    }
  }
  for (int id : plugged) pnp().Unplug(id);
  EXPECT_EQ(kernel().Pool().live_blocks, baseline.live_blocks);
  EXPECT_EQ(kernel().Pool().live_bytes, baseline.live_bytes);
  EXPECT_EQ(kernel().DeviceCount(), devices);
  for (char16_t n = u'0'; n <= u'7'; ++n)
    EXPECT_FALSE(
        kernel().LinkExists(std::u16string(u"\\DosDevices\\trq5c-") + n));
  const sim::PluggedCamera last = Plug();
  EXPECT_EQ(Extension(0)->driver->instance_mask, 1u);
  pnp().Unplug(last.id);
}

// Fails the n-th allocation of a plug, for n = 0, 1, ... until a plug runs
// without reaching the failure. Each failure must fail cleanly: afterwards
// the camera is unplugged and the pool is back where it was.
TEST_F(StressTest, AllocationFailureAtEverySiteFailsCleanly) {
  const sim::PoolStats baseline = kernel().Pool();
  uint64_t n = 0;
  for (;; ++n) {
    ASSERT_LT(n, 200u) << "plugging allocates more than expected";
    const uint64_t before = kernel().Pool().allocations;
    kernel().FailAllocationAfter(n);
    const sim::PluggedCamera c = Plug();
    const bool reached = kernel().Pool().allocations > before + n;
    kernel().ClearAllocationFailure();
    if (!NtSuccess(c.add_status)) {
      EXPECT_FALSE(kernel().LinkExists(u"\\DosDevices\\trq5c-0")) << n;
      EXPECT_EQ(c.top(), c.bus->pdo()) << n;
    }
    pnp().Unplug(c.id);
    EXPECT_EQ(kernel().Pool().live_blocks, baseline.live_blocks)
        << "site " << n;
    EXPECT_EQ(kernel().DeviceCount(), 0u) << n;
    if (!reached) break;
  }
  EXPECT_GT(n, 20u);  // every site of AddDevice and start was reached
  // And the driver still takes cameras.
  const sim::PluggedCamera c = Plug();
  EXPECT_EQ(c.add_status, kStatusSuccess);
  EXPECT_NE(Extension(0)->interface_record, nullptr);
}

// Removal lands at a random moment among streams being started and stopped
// and interface changes on two handles: every request ends (at the latest
// with STATUS_DELETE_PENDING), and nothing is left behind. Run under the
// thread sanitizer, this also checks that removal and the interface change
// share the record only under its lock.
TEST_F(StressTest, RemovalAmongStreamStartsAndInterfaceChanges) {
  sim::IoManager io(kernel());
  const sim::PoolStats baseline = kernel().Pool();
  std::mt19937 random(20);
  for (int round = 0; round < 40; ++round) {
    const sim::PluggedCamera c = Plug();
    std::shared_ptr<sim::OpenFile> files[2];
    for (auto& f : files)
      ASSERT_EQ(io.Open(u"\\DosDevices\\trq5c-0", &f), kStatusSuccess);
    auto control = [&io](sim::OpenFile& f, uint32_t code, const void* in,
                         uint32_t length) {
      std::promise<NtStatus> done;
      io.DeviceControl(
          f, code, in, length, nullptr, 0,
          [&done](const kernel::IoStatus& s) { done.set_value(s.status); });
      return done.get_future().get();
    };
    std::atomic<int> requests{0};
    std::thread streamer([&] {
      uint8_t block[20];
      Encode(IsoTransferRequest{1, 1024, 64, 8, 2}, block);
      while (control(*files[0], IOCTL_START_ISO_STREAM, block, 20) !=
                 kStatusDeletePending &&
             control(*files[0], IOCTL_STOP_ISO_STREAM, nullptr, 0) !=
                 kStatusDeletePending)
        ++requests;
    });
    std::thread switcher([&] {
      for (uint8_t alternate = 1;; alternate ^= 1) {
        const uint8_t in[2] = {0, alternate};
        if (control(*files[1], IOCTL_SET_INTERFACE, in, 2) ==
            kStatusDeletePending)
          break;
        ++requests;
      }
    });
    // Removal after a random number of requests, without any sleep.
    const int after = static_cast<int>(random() % 12);
    while (requests < after) std::this_thread::yield();
    pnp().Unplug(c.id);
    streamer.join();
    switcher.join();
    for (auto& f : files) io.Close(f);
    EXPECT_EQ(io.Outstanding(), 0u) << "round " << round;
    EXPECT_EQ(kernel().Pool().live_blocks, baseline.live_blocks)
        << "round " << round;
  }
}

}  // namespace
}  // namespace vk::drv
