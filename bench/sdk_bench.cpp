// The SDK from end to end, unthrottled: frames/s delivered to an
// application whose callback runs CameraISP, at each resolution, through
// the whole simulated stack (driver, USB host, camera), next to the
// pipeline alone on the same frame (CameraImageProcess on one thread of the
// application). The camera sends a prepared frame, so its rendering does
// not count.
// Run: make bench   (or build/bench/vkcam-sdk-bench)
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "sdk/include/VKCAMSDK.h"
#include "sim/world/world.h"

namespace vk {
namespace {

std::atomic<int64_t> g_frames{0};

void ProcessFrame(uint8_t* raw) {
  CameraISP(raw);
  g_frames.fetch_add(1);
}

// A textured Bayer frame, prepared once per geometry and copied per frame.
void SendPreparedFrames() {
  world::World& w = world::World::Get();
  for (const sim::PluggedCamera& c : w.system().pnp().Cameras()) {
    w.CameraOf(c.id)->SetFrameGenerator([](const sim::FrameInfo& f, uint8_t* out) {
      static thread_local std::vector<uint8_t> prepared;
      if (prepared.size() != f.geometry.bytes()) {
        prepared.resize(f.geometry.bytes());
        for (size_t i = 0; i < prepared.size(); ++i)
          prepared[i] = static_cast<uint8_t>((i * 13 + i / f.geometry.width * 7) & 0xFF);
      }
      std::memcpy(out, prepared.data(), prepared.size());
    });
  }
}

bool Open(benchmark::State& state, int resolution) {
  setenv("VKCAM_SIM_THROTTLE", "0", 1);
  SendPreparedFrames();
  if (CameraInit(&ProcessFrame, resolution, nullptr, 1, nullptr) != 1) {
    state.SkipWithError("no camera");
    return false;
  }
  return true;
}

void BM_EndToEnd(benchmark::State& state) {
  const int resolution = static_cast<int>(state.range(0));
  if (!Open(state, resolution)) return;
  CameraPlay();
  const int64_t first = g_frames.load();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const int64_t target = g_frames.load() + 1;
    while (g_frames.load() < target) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto frames = static_cast<double>(g_frames.load() - first);
  CameraStop();
  int32_t width = 0, height = 0;
  CameraGetImageSize(&width, &height);
  CameraUnInit();
  state.counters["frames/s"] = frames / seconds;
  state.counters["MB/s"] = frames * width * height / seconds / 1e6;
}
BENCHMARK(BM_EndToEnd)->Arg(0)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PipelineOnly(benchmark::State& state) {
  if (!Open(state, static_cast<int>(state.range(0)))) return;
  int32_t width = 0, height = 0;
  CameraGetImageSize(&width, &height);
  std::vector<uint8_t> raw(static_cast<size_t>(width) * height);
  std::vector<uint8_t> rgb(raw.size() * 3);
  CameraSnap(raw.data(), 0);
  for (auto _ : state) CameraImageProcess(raw.data(), rgb.data());
  CameraUnInit();
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PipelineOnly)->Arg(0)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vk
