// vkcam-simdemo OUTDIR: plugs in a simulated camera, configures it with URBs
// as the driver will, and streams a few frames at each resolution through
// the simulated USB host at USB 2.0 speed. Writes the last frame of each
// resolution as raw Bayer bytes and as a quick-look PNG.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "common/camera_protocol.h"
#include "sim/camera/environment.h"
#include "sim/usb/usb_client.h"
#include "tools/simdemo/quicklook.h"

namespace {

using vk::sim::UsbClient;

struct Mode {
  int width, height;
  std::vector<std::pair<uint16_t, uint16_t>> registers;
};

const Mode kModes[] = {
    {2048, 1536, {{1, 21}, {2, 33}, {4, 2047}, {3, 1535}, {34, 0}, {35, 0}, {5, 336}}},
    {1024, 768, {{1, 21}, {2, 33}, {4, 2047}, {3, 1535}, {34, 0x11}, {35, 0x11}, {5, 336}}},
    {640, 480, {{1, 21}, {2, 36}, {4, 1919}, {3, 1439}, {34, 0x22}, {35, 0x22}, {5, 336}}},
};

// Reads one whole frame in chunks of 128 rows: whole chunks, then the read
// that ends short. A frame entered in the middle is dropped.
bool ReadFrame(UsbClient& client, int width, int height,
               std::vector<uint8_t>& frame) {
  const uint32_t chunk = width * 128, size = width * height;
  frame.resize(size + chunk);
  for (int attempt = 0; attempt < 3; ++attempt) {
    uint32_t got = 0;
    for (;;) {
      const vk::sim::TransferResult r =
          client.BulkRead(1, frame.data() + got, chunk);
      if (!vk::NtSuccess(r.status)) return false;
      got += r.bytes;
      if (r.bytes < chunk || got > size) break;
    }
    if (got == size) {
      frame.resize(size);
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path out = argc > 1 ? argv[1] : "out";
  std::filesystem::create_directories(out);
  vk::sim::CameraOptions options;
  std::string error;
  if (!vk::sim::CameraOptionsFromEnvironment(0, &options, &error)) {
    std::fprintf(stderr, "simdemo: %s\n", error.c_str());
    return 2;
  }
  vk::sim::UsbHost host;
  auto camera = std::make_shared<vk::sim::Camera>(options);
  UsbClient client(host.Plug(camera));
  if (!vk::NtSuccess(client.Configure())) {
    std::fprintf(stderr, "simdemo: the camera could not be configured\n");
    return 1;
  }
  client.WriteSensor(9, 438);  // about 50 ms at full resolution
  client.WriteSensor(53, 28);  // gain index 20
  client.StreamControl(vk::kStreamStart);
  std::vector<uint8_t> frame;
  for (const Mode& mode : kModes) {
    for (auto [reg, value] : mode.registers) client.WriteSensor(reg, value);
    client.StreamControl(vk::kStreamRestart);
    const auto start = std::chrono::steady_clock::now();
    constexpr int kFrames = 3;
    for (int i = 0; i < kFrames; ++i) {
      if (!ReadFrame(client, mode.width, mode.height, frame)) {
        std::fprintf(stderr, "simdemo: no frame at %dx%d\n", mode.width,
                     mode.height);
        return 1;
      }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    const std::string stem = "frame_" + std::to_string(mode.width) + "x" +
                             std::to_string(mode.height);
    std::ofstream((out / (stem + ".raw")).string(), std::ios::binary)
        .write(reinterpret_cast<const char*>(frame.data()), frame.size());
    vk::tools::WriteQuickLookPng((out / (stem + ".png")).string(), frame.data(),
                                 mode.width, mode.height);
    std::printf("%4d x %4d: %d frames in %.2f s (%.1f frames/s), wrote %s.raw and %s.png\n",
                mode.width, mode.height, kFrames, seconds, kFrames / seconds,
                stem.c_str(), stem.c_str());
  }
  return 0;
}
