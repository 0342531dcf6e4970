// The TWAIN data source's capture path from end to end, unthrottled:
// steady images per second at each resolution through CUSBDevice (reader
// and capture threads, its pipeline and automatic exposure), counted by the
// WM_FRAME_NOTIFY messages it posts once the camera has started (the
// start-up is reported apart). Beside it the image steps alone on one
// core at 2048 x 1536: the one-pass form the source uses, and the steps one
// after another over whole images as the source ran them before.
// Run: make bench   (or build/bench/vkcam-twain-bench)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <vector>

#include "platform/host/host.h"
#include "sdk/core/isp.h"
#include "sim/world/world.h"
#include "twain/camera/image_pipeline.h"
#include "twain/camera/image_steps.h"
#include "twain/camera/settings.h"
#include "twain/camera/usb_device.h"

namespace vk::twain {
namespace {

// Waits for the next good image the device announces.
void NextImage(HWND dialog) {
  MSG msg;
  for (;;) {
    while (PeekMessageA(&msg, dialog, 0, 0, PM_REMOVE))
      if (msg.message == WM_FRAME_NOTIFY && msg.wParam == 1) return;
    Sleep(0);
  }
}

void BM_TwainImages(benchmark::State& state) {
  setenv("VKCAM_SIM_THROTTLE", "0", 1);
  world::World::Get();
  HWND dialog = host::CreateMessageWindow();
  CUSBDevice device;
  device.SetDialog(dialog);
  const auto start = std::chrono::steady_clock::now();
  device.ChangeResolution(static_cast<int>(state.range(0)));
  NextImage(dialog);  // the camera's start-up: opened, configured, first image
  state.counters["startup_s"] =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  int64_t images = 0;
  for (auto _ : state) {
    NextImage(dialog);
    ++images;
  }
  device.StopPreview();
  host::DestroyMessageWindow(dialog);
  state.counters["images/s"] = benchmark::Counter(static_cast<double>(images),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TwainImages)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->MinTime(3.0)
    ->Unit(benchmark::kMillisecond);

// Args: 0 the steps one after another, 1 the one-pass form; colour with
// AE, the flips of the default settings (rows reversed).
void BM_TwainImageSteps(benchmark::State& state) {
  constexpr int kWidth = 2048, kHeight = 1536;
  std::mt19937 random(3);
  std::vector<uint8_t> raw(static_cast<size_t>(kWidth) * kHeight);
  for (auto& b : raw) b = static_cast<uint8_t>(random() % 200);
  std::vector<uint8_t> image(raw.size() * 3), copy(image.size());
  const Settings s;
  const WhiteBalance gains{s.red, s.green, s.blue};
  uint8_t tone[256];
  isp::BuildToneTable(s.gamma / 100.0L, s.contrast, tone);
  const DeadPixel dead[] = {{100, 100}, {2000, 1500}};
  const size_t pixels = raw.size();
  for (auto _ : state) {
    CorrectDeadPixels(raw.data(), kWidth, kHeight, dead, 2);
    const ColorMatrix m = MakeColorMatrix(s.saturation, kColorMatrix, gains);
    if (state.range(0) == 0) {
      isp::Demosaic0(raw.data(), image.data(), {kWidth, kHeight}, 0, kHeight);
      Smooth(image.data(), kWidth, kHeight, copy.data());
      ApplyColorMatrix(image.data(), pixels, m, gains);
      benchmark::DoNotOptimize(CentreBrightness(image.data(), kWidth, kHeight));
      for (auto& b : image) b = tone[b];
      isp::ReverseRows(image.data(), {kWidth, kHeight}, copy.data());
    } else {
      ColorTables tables;
      MakeColorTables(m, gains, &tables);
      uint64_t centre[3];
      MakeImage({raw.data(), image.data(), kWidth, kHeight, false, &tables,
                 tone, false, false},
                centre);
      benchmark::DoNotOptimize(CentreFromSums(centre, kWidth, kHeight));
    }
    benchmark::DoNotOptimize(image.data());
  }
  state.counters["images/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetLabel(state.range(0) == 0 ? "steps one after another"
                                     : "one pass (shipped)");
}
BENCHMARK(BM_TwainImageSteps)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vk::twain
