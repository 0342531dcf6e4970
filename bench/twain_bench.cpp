// The TWAIN data source's capture path from end to end, unthrottled:
// images per second at each resolution through CUSBDevice (reader and
// capture threads, its pipeline and automatic exposure), counted by the
// WM_FRAME_NOTIFY messages it posts.
// Run: make bench   (or build/bench/vkcam-twain-bench)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>

#include "platform/host/host.h"
#include "sim/world/world.h"
#include "twain/camera/usb_device.h"

namespace vk::twain {
namespace {

void BM_TwainImages(benchmark::State& state) {
  setenv("VKCAM_SIM_THROTTLE", "0", 1);
  world::World::Get();
  HWND dialog = host::CreateMessageWindow();
  CUSBDevice device;
  device.SetDialog(dialog);
  device.ChangeResolution(static_cast<int>(state.range(0)));
  int64_t images = 0;
  for (auto _ : state) {
    MSG msg;
    bool got = false;
    while (!got) {
      while (PeekMessageA(&msg, dialog, 0, 0, PM_REMOVE))
        if (msg.message == WM_FRAME_NOTIFY && msg.wParam == 1) got = true;
      if (!got) Sleep(0);
    }
    ++images;
  }
  device.StopPreview();
  host::DestroyMessageWindow(dialog);
  state.counters["images/s"] = benchmark::Counter(static_cast<double>(images),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TwainImages)->Arg(0)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vk::twain
