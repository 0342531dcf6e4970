// Throughput of the whole stack, unthrottled: Win32 overlapped reads of 128
// rows, four in flight, through libvkhost, the simulated I/O manager, the
// vku2cam driver and the simulated USB host. The camera fills frames with a
// constant so that scene rendering does not count. Reports MB/s, frames/s
// and the copies a frame takes on its way (the driver reads straight into
// the caller's pages; the one copy is the simulated wire's).
// Run: make bench   (or build/bench/vkcam-bench --benchmark_filter=Stack)
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/control_codes.h"
#include "common/wire_blocks.h"
#include "platform/win32.h"
#include "sim/world/world.h"

namespace vk {
namespace {

struct Mode {
  int width, height;
  uint16_t rows_minus_one, columns_minus_one, reduction, column_start;
};
constexpr Mode kModes[] = {{2048, 1536, 1535, 2047, 0, 33},
                           {1024, 768, 1535, 2047, 0x11, 33},
                           {640, 480, 1439, 1919, 0x22, 36}};

bool Control(HANDLE h, uint8_t direction, uint8_t request, uint16_t value,
             uint16_t index, void* out, DWORD length) {
  uint8_t block[10];
  Encode(VendorRequestBlock{direction, 2, 0, 0, request, 0, value, index}, block);
  DWORD n = 0;
  return DeviceIoControl(h, IOCTL_VENDOR_REQUEST, block, 10, out, length, &n,
                         nullptr) != 0;
}

HANDLE OpenStreaming(const Mode& m) {
  setenv("VKCAM_SIM_THROTTLE", "0", 1);
  HANDLE h = CreateFileA("\\\\.\\trq5c-0", GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return h;
  world::World& w = world::World::Get();
  for (const sim::PluggedCamera& c : w.system().pnp().Cameras()) {
    w.CameraOf(c.id)->SetFrameGenerator([](const sim::FrameInfo& f, uint8_t* out) {
      std::memset(out, 0x40, f.geometry.bytes());
    });
  }
  uint8_t ack;
  for (auto [reg, value] :
       {std::pair<uint16_t, uint16_t>{1, 21}, {2, m.column_start},
        {4, m.columns_minus_one}, {3, m.rows_minus_one}, {34, m.reduction},
        {35, m.reduction}})
    Control(h, 1, 11, value, reg, &ack, 1);
  Control(h, 0, 1, 3, 15, nullptr, 0);
  const uint8_t enable[2] = {1, 0};
  DWORD n = 0;
  DeviceIoControl(h, IOCTL_ENABLE_READ, (void*)enable, 2, nullptr, 0, &n, nullptr);
  return h;
}

void BM_StackFrames(benchmark::State& state) {
  const Mode& m = kModes[state.range(0)];
  HANDLE h = OpenStreaming(m);
  if (h == INVALID_HANDLE_VALUE) {
    state.SkipWithError("no camera link");
    return;
  }
  const DWORD chunk = static_cast<DWORD>(m.width) * 128;
  const uint64_t frame = static_cast<uint64_t>(m.width) * m.height;
  std::vector<std::vector<uint8_t>> slots(4, std::vector<uint8_t>(chunk));
  OVERLAPPED o[4] = {};
  for (int s = 0; s < 4; ++s) {
    o[s].hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ReadFile(h, slots[s].data(), chunk, nullptr, &o[s]);
  }
  int slot = 0;
  uint64_t bytes = 0, frames = 0;
  for (auto _ : state) {
    // One frame: reads until the one that ends short.
    for (;;) {
      DWORD n = 0;
      GetOverlappedResult(h, &o[slot], &n, TRUE);
      bytes += n;
      ReadFile(h, slots[slot].data(), chunk, nullptr, &o[slot]);
      slot = (slot + 1) % 4;
      if (n < chunk) break;
    }
    ++frames;
  }
  CancelIoEx(h, nullptr);
  for (auto& ov : o) {
    DWORD n = 0;
    GetOverlappedResult(h, &ov, &n, TRUE);
    CloseHandle(ov.hEvent);
  }
  CloseHandle(h);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["frame_bytes"] = static_cast<double>(frame);
  // The driver moves each read by one transfer into the caller's pages; the
  // only copy of the frame's bytes is the simulated camera's onto the wire.
  state.counters["copies_per_frame"] = 1;
  state.SetLabel(std::to_string(m.width) + "x" + std::to_string(m.height));
}
BENCHMARK(BM_StackFrames)->DenseRange(0, 2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vk
