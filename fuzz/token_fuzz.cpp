// Fuzzes the camera access token: acquires, releases, closes and
// cancellations from several handles on several cameras, in any order.
// After each input every request must have completed exactly once and at
// most one camera may hold the token.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz/fuzz_world.h"

namespace {

constexpr int kCameras = 4;

vk::fuzz::FuzzWorld& World() {
  // Destroyed at exit, before the leak check: see ~FuzzWorld.
  static vk::fuzz::FuzzWorld world(kCameras);
  return world;
}

struct Request {
  std::shared_ptr<std::atomic<int>> completions =
      std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<std::vector<uint8_t>> block =
      std::make_shared<std::vector<uint8_t>>(8, 0);
  vk::kernel::Irp* irp = nullptr;
  std::shared_ptr<vk::sim::OpenFile> file;
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "token fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vk::fuzz::FuzzWorld& world = World();
  vk::sim::IoManager& io = world.io();
  // Each input opens its own handles, two per camera.
  std::vector<std::shared_ptr<vk::sim::OpenFile>> files;
  for (int c = 0; c < kCameras; ++c) {
    for (int f = 0; f < 2; ++f) {
      std::shared_ptr<vk::sim::OpenFile> file;
      io.Open(u"\\DosDevices\\trq5c-" + std::u16string(1, char16_t(u'0' + c)),
              &file);
      if (file == nullptr) Fail("a camera link did not open");
      files.push_back(file);
    }
  }
  std::vector<Request> requests;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t op = data[i] >> 6;
    const size_t which = (data[i] & 0x3F) % files.size();
    if (op <= 1) {  // acquire or release
      Request r;
      (*r.block)[0] = op == 0 ? 1 : 0;
      r.file = files[which];
      auto completions = r.completions;
      io.DeviceControl(
          *r.file, vk::IOCTL_EXCLUSIVE_ACCESS, r.block->data(), 8,
          r.block->data(), 8,
          [completions](const vk::kernel::IoStatus&) { ++*completions; },
          &r.irp);
      requests.push_back(r);
    } else if (op == 2) {  // cancel the handle's requests
      io.Cancel(*files[which], nullptr);
    } else {  // close the handle and open a new one in its place
      io.Close(files[which]);
      const int camera = static_cast<int>(which / 2);
      std::shared_ptr<vk::sim::OpenFile> file;
      io.Open(
          u"\\DosDevices\\trq5c-" + std::u16string(1, char16_t(u'0' + camera)),
          &file);
      files[which] = file;
    }
  }
  // Closing every handle releases the token and cancels every waiter.
  for (auto& f : files) io.Close(f);
  files.clear();
  for (Request& r : requests) {
    for (int spin = 0; *r.completions == 0; ++spin) {
      if (spin > 200000) Fail("a token request never completed");
      std::this_thread::yield();
    }
    if (*r.completions != 1) Fail("a token request completed twice");
  }
  return 0;
}
