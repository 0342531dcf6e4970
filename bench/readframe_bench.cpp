// The SDK's frame reader at full resolution against the simulated camera at
// USB 2.0 high-speed bulk bandwidth (about 40 MB/s): frames/s reached
// against the bandwidth's ceiling, and frames dropped (every frame carries
// its number, so a gap is seen).
// Run: make bench   (or build/bench/vkcam-readframe-bench)
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "sdk/core/camera_device.h"
#include "sim/world/world.h"

namespace vk {
namespace {

constexpr double kBandwidth = 40e6;

void BM_ReadFrameFullResolution(benchmark::State& state) {
  setenv("VKCAM_SIM_THROTTLE", "1", 1);
  world::World& w = world::World::Get();
  for (const sim::PluggedCamera& c : w.system().pnp().Cameras()) {
    w.CameraOf(c.id)->SetFrameGenerator([](const sim::FrameInfo& f, uint8_t* out) {
      std::memset(out, static_cast<int>(f.number & 0xFF), f.geometry.bytes());
    });
  }
  CCameraDevice device;
  if (!device.Open(true)) {
    state.SkipWithError("no camera");
    return;
  }
  for (auto [reg, value] : {std::pair<uint16_t, uint16_t>{1, 21}, {2, 33},
                            {4, 2047}, {3, 1535}, {34, 0}, {35, 0}})
    device.WriteSensorRegister(reg, value);
  device.SetFrameSize(2048, 1536);
  device.SetStreamControl(3);
  std::vector<uint8_t> frame(2048 * 1536);
  int64_t good = 0, dropped = 0;
  int last = -1;
  for (auto _ : state) {
    if (device.ReadFrame(frame.data()) != 1) continue;
    ++good;
    if (last >= 0 && frame[0] != static_cast<uint8_t>(last + 1)) ++dropped;
    last = frame[0];
  }
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(good), benchmark::Counter::kIsRate);
  state.counters["ceiling_frames_per_s"] = kBandwidth / (2048.0 * 1536);
  state.counters["dropped"] = static_cast<double>(dropped);
  state.SetBytesProcessed(good * 2048 * 1536);
}
BENCHMARK(BM_ReadFrameFullResolution)
    ->UseRealTime()
    ->MinTime(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vk
