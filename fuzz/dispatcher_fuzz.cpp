// Fuzzes the device-control dispatcher and the read path of a started
// simulated camera: random control codes (the driver's own, their
// neighbours and raw values), buffer lengths, contents and reads, with
// removal, stop and restart, and system sleep and resume between them. The
// simulated kernel's verifier is on: a broken kernel rule stops the run.
// Input: a sequence of records
//   [selector u8][input length u8][output length u16 LE][input bytes...]
// Selectors 0xFB to 0xFE change the camera's plug-and-play or power state
// (the record's other bytes pick the sleep state); 0xFF reads.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_world.h"

namespace {

constexpr uint32_t kCodes[] = {
    vk::IOCTL_GET_PIPE_INFO,
    vk::IOCTL_GET_DEVICE_DESCRIPTOR,
    vk::IOCTL_GET_CONFIG_DESCRIPTOR,
    vk::IOCTL_VENDOR_DEVICE_REQUEST,
    vk::IOCTL_NO_OPERATION,
    vk::IOCTL_MEMORY_LOAD,
    vk::IOCTL_RESET_PORT,
    vk::IOCTL_RESET_PIPE,
    vk::IOCTL_ABORT_PIPE,
    vk::IOCTL_SET_INTERFACE,
    vk::IOCTL_GET_STRING_DESCRIPTOR,
    vk::IOCTL_BULK_READ,
    vk::IOCTL_BULK_WRITE,
    vk::IOCTL_GET_FRAME_NUMBER,
    vk::IOCTL_VENDOR_REQUEST,
    vk::IOCTL_GET_LAST_ERROR,
    vk::IOCTL_ISO_READ,
    vk::IOCTL_ISO_WRITE,
    vk::IOCTL_MEMORY_WRITE,
    vk::IOCTL_GET_DRIVER_VERSION,
    vk::IOCTL_START_ISO_STREAM,
    vk::IOCTL_STOP_ISO_STREAM,
    vk::IOCTL_READ_ISO_BUFFER,
    vk::IOCTL_SET_FEATURE,
    vk::IOCTL_ENABLE_READ,
    vk::IOCTL_SET_CLIENT_VALUE,
    vk::IOCTL_GET_CLIENT_VALUE,
    vk::IOCTL_EXCLUSIVE_ACCESS,
};
constexpr size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);

vk::fuzz::FuzzWorld& World() {
  // The driver's waits (registration attempts) cost nothing here: a removal
  // that waits for its registration thread would otherwise wait them out.
  // Destroyed at exit, before the leak check: see ~FuzzWorld.
  static vk::fuzz::FuzzWorld world((setenv("VKCAM_SLEEP_SCALE", "0", 0), 1));
  return world;
}

uint32_t CodeOf(uint8_t selector, const uint8_t* raw) {
  if (selector < 2 * kCodeCount) {
    const uint32_t code = kCodes[selector % kCodeCount];
    // Every other pick flips the transfer method bits.
    return selector < kCodeCount ? code : (code & ~3u) | (raw[0] & 3u);
  }
  return 0x220000u | (static_cast<uint32_t>(raw[0]) << 2) | (raw[1] & 3u);
}

// Plug-and-play and power between requests; the handles stay open across
// each (after a removal, the new camera's handles replace them).
void Transition(vk::fuzz::FuzzWorld& world, uint8_t selector, uint8_t pick) {
  using vk::kernel::kPowerSystemSleeping1;
  switch (selector) {
    case 0xFB:
      world.Replug(0);
      break;
    case 0xFC:
      world.StopAndStart(0);
      break;
    case 0xFD:
      // Sleeping 1 to 3, hibernate, or shutdown (not a sleep).
      world.SleepAndResume(kPowerSystemSleeping1 + pick % 5);
      break;
    default:
      world.QueryCapabilities(0);
      break;
  }
}

}  // namespace

// libFuzzer's leak check re-runs every input whose mallocs and frees differ,
// which the camera's transfer threads make almost every input, and scans the
// heap each time: eight of every nine seconds went there. The driver's own
// memory is pool, which the leak check cannot see anyway (the simulated
// kernel holds every block); the removal check in FuzzWorld::Replug covers
// it. An explicit -detect_leaks=1 on the command line still wins.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> args;
  args.assign(*argv, *argv + *argc);
  static char kNoLeakCheck[] = "-detect_leaks=0";
  args.insert(args.begin() + (args.empty() ? 0 : 1), kNoLeakCheck);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size() - 1);
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vk::fuzz::FuzzWorld& world = World();
  size_t at = 0;
  while (at + 4 <= size) {
    const uint8_t selector = data[at];
    const uint8_t in_length = data[at + 1];
    const uint32_t out_length = (data[at + 2] | (data[at + 3] << 8)) & 0x3FFF;
    at += 4;
    std::vector<uint8_t> in(data + at, data + std::min(size, at + in_length));
    in.resize(in_length, 0);
    at += in_length;
    const uint8_t raw[2] = {in.empty() ? uint8_t{0} : in[0],
                            in.size() > 1 ? in[1] : uint8_t{0}};
    std::vector<uint8_t> out(out_length + 1);
    if (selector >= 0xFB && selector <= 0xFE) {
      Transition(world, selector, raw[0]);
      continue;
    }
    world.Guarded(0, [&](vk::fuzz::FuzzWorld::Camera& c) {
      if (c.files.empty()) return;
      vk::sim::OpenFile& file = *c.files[selector & 1];
      if (selector == 0xFF) {
        std::promise<vk::kernel::IoStatus> done;
        world.io().Read(
            file, false, out.data(), out_length,
            [&done](const vk::kernel::IoStatus& s) { done.set_value(s); });
        done.get_future().get();
        return;
      }
      const uint32_t code = CodeOf(selector, raw);
      if (code == vk::IOCTL_EXCLUSIVE_ACCESS && !in.empty())
        in[0] = 0;  // never wait
      world.Control(file, code, in.empty() ? nullptr : in.data(),
                    static_cast<uint32_t>(in.size()),
                    out_length ? out.data() : nullptr, out_length);
      // A code that stopped the stream or changed the interface is undone.
      world.Prepare(file);
    });
  }
  static int inputs = 0;
  if (std::getenv("VKCAM_FUZZ_POOL") && ++inputs % 5000 == 0) {
    const vk::sim::PoolStats pool = world.kernel().Pool();
    std::fprintf(stderr, "pool: %zu blocks, %zu bytes, %zu requests out\n",
                 pool.live_blocks, pool.live_bytes, world.io().Outstanding());
  }
  return 0;
}
