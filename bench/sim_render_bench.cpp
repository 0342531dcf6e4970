// How fast the simulated camera renders a frame: it must stay well ahead of
// the 40 MB/s link so the simulation never throttles below USB speed.
// Run: make bench   (or build/bench/vkcam-bench --benchmark_filter=Render)
#include <benchmark/benchmark.h>

#include <vector>

#include "sim/camera/scene.h"

namespace vk::sim {
namespace {

void BM_RenderBayer(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = width * 3 / 4;
  const int step = kSensorWidth / width;
  RenderSettings s;
  s.geometry = {width, height, 0, 0, step, step};
  s.exposure_us = 50000;
  s.gain = 3.5;
  std::vector<uint8_t> frame(s.geometry.bytes());
  const Scene& scene = Scene::Default();
  for (auto _ : state) {
    RenderBayer(scene, s, frame.data());
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * int64_t{s.geometry.bytes()});
}
BENCHMARK(BM_RenderBayer)->Arg(2048)->Arg(1024)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vk::sim
