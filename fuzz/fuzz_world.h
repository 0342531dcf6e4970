// A simulated machine for fuzzing the driver: cameras on an unthrottled USB
// host, their links opened through the simulated I/O manager, and a
// watchdog that unplugs a camera when a request blocks inside the driver
// (a camera told to stop streaming leaves a synchronous bulk read waiting
// for ever, as a real one would), so that fuzzing goes on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "common/control_codes.h"
#include "common/wire_blocks.h"
#include "driver/driver.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/sim_system.h"

namespace vk::fuzz {

class FuzzWorld {
 public:
  explicit FuzzWorld(int cameras)
      : system_(&drv::DriverEntry, sim::UsbHostOptions{false, 40e6}),
        io_(system_.kernel()),
        watchdog_([this] { Watch(); }) {
    for (int i = 0; i < cameras; ++i) cameras_.push_back(PlugOne(i));
  }
  // The machine is taken down as a user would: handles closed, cameras
  // unplugged, then the driver unloaded and the USB host's threads joined,
  // so nothing of it is still running when the process's leak check looks.
  ~FuzzWorld() {
    stop_ = true;
    watchdog_.join();
    for (Camera& c : cameras_) {
      for (auto& f : c.files) io_.Close(f);
      c.files.clear();
      system_.pnp().Unplug(c.id);
    }
  }

  struct Camera {
    int id;
    int instance;
    std::vector<std::shared_ptr<sim::OpenFile>> files;
  };

  sim::IoManager& io() { return io_; }
  sim::SimKernel& kernel() { return system_.kernel(); }
  Camera& camera(size_t i) { return cameras_[i % cameras_.size()]; }
  size_t cameras() const { return cameras_.size(); }

  // Runs `op` under the watchdog; a camera it leaves blocked is unplugged,
  // then plugged in again with fresh handles.
  template <typename Op>
  void Guarded(size_t camera_index, Op op) {
    Camera& c = camera(camera_index);
    watched_id_ = c.id;
    started_ = std::chrono::steady_clock::now().time_since_epoch().count();
    running_ = true;
    op(c);
    running_ = false;
    if (unplugged_.exchange(false)) Replace(camera_index);
  }

  // Sends a request and waits for it (the watchdog ends a hang).
  kernel::IoStatus Control(sim::OpenFile& file, uint32_t code, const void* in,
                           uint32_t in_length, void* out, uint32_t out_length) {
    std::promise<kernel::IoStatus> done;
    io_.DeviceControl(
        file, code, in, in_length, out, out_length,
        [&done](const kernel::IoStatus& s) { done.set_value(s); });
    return done.get_future().get();
  }

  // The camera is unplugged (surprise removal, then removal) and a new one
  // plugged in, with fresh handles.
  void Replug(size_t camera_index) {
    system_.pnp().Unplug(camera(camera_index).id);
    CheckPoolAfterRemoval();
    Replace(camera_index);
  }
  // The system sleeps and resumes; the camera's reconfiguration (a work
  // item) is done before the next request.
  void SleepAndResume(int32_t state) {
    system_.pnp().SystemSleep(state);
    system_.pnp().SystemResume();
    system_.kernel().FlushWorkItems();
  }
  // IRP_MN_STOP_DEVICE and a new start, the handles kept.
  void StopAndStart(size_t camera_index) {
    system_.pnp().SendPnp(camera(camera_index).id, kernel::kIrpMnStopDevice);
    system_.pnp().SendPnp(camera(camera_index).id, kernel::kIrpMnStartDevice);
  }

  void QueryCapabilities(size_t camera_index) {
    kernel::DeviceCapabilities caps;
    system_.pnp().SendPnp(camera(camera_index).id,
                          kernel::kIrpMnQueryCapabilities, &caps);
  }

  // Full-resolution streaming with reads enabled.
  void Prepare(sim::OpenFile& file) {
    const uint8_t enable[2] = {1, 0};
    Control(file, IOCTL_ENABLE_READ, enable, 2, nullptr, 0);
    uint8_t block[10];
    Encode(VendorRequestBlock{0, 2, 0, 0, 1, 0, 1, 15}, block);
    Control(file, IOCTL_VENDOR_REQUEST, block, 10, nullptr, 0);
  }

 private:
  Camera PlugOne(int index) {
    sim::CameraOptions options;
    options.noise = false;
    options.seed = static_cast<uint32_t>(index + 1);
    auto camera = std::make_shared<sim::Camera>(options);
    // The driver never looks at pixels: a flat frame costs a fill, where a
    // rendered one costs a scene under the sanitizers, longer than the
    // watchdog waits.
    camera->SetFrameGenerator([](const sim::FrameInfo& info, uint8_t* out) {
      std::memset(out, static_cast<int>(info.number & 0xFF),
                  info.geometry.bytes());
    });
    const sim::PluggedCamera p = system_.pnp().Plug(std::move(camera));
    Camera c{p.id, -1, {}};
    for (int n = 0; n < drv::kMaxInstances; ++n) {
      kernel::DeviceObject* d = system_.kernel().ResolveLink(
          u"\\DosDevices\\trq5c-" + std::u16string(1, char16_t(u'0' + n)));
      if (d && drv::ExtensionOf(d)->physical_device == p.bus->pdo())
        c.instance = n;
    }
    for (int f = 0; f < 2; ++f) {
      std::shared_ptr<sim::OpenFile> file;
      io_.Open(u"\\DosDevices\\trq5c-" +
                   std::u16string(1, char16_t(u'0' + c.instance)),
               &file);
      if (file) {
        Prepare(*file);
        c.files.push_back(file);
      }
    }
    return c;
  }

  // Once a camera is removed, only the driver's own blocks stay in pool,
  // as many after every removal as after the first: more means a request,
  // a stream or a device left something behind.
  void CheckPoolAfterRemoval() {
    const sim::PoolStats pool = system_.kernel().Pool();
    if (pool_after_removal_ < 0)
      pool_after_removal_ = static_cast<int64_t>(pool.live_blocks);
    if (static_cast<int64_t>(pool.live_blocks) != pool_after_removal_) {
      std::fprintf(stderr,
                   "fuzz: %zu pool blocks after a removal, %lld after the "
                   "first\n",
                   pool.live_blocks,
                   static_cast<long long>(pool_after_removal_));
      std::abort();
    }
  }

  void Replace(size_t camera_index) {
    Camera& c = camera(camera_index);
    for (auto& f : c.files) io_.Close(f);
    c = PlugOne(static_cast<int>(camera_index));
  }

  void Watch() {
    using namespace std::chrono;
    while (!stop_) {
      std::this_thread::sleep_for(milliseconds(20));
      const auto now = steady_clock::now().time_since_epoch().count();
      if (running_ && now - started_ > duration_cast<steady_clock::duration>(
                                           milliseconds(300))
                                           .count()) {
        running_ = false;
        unplugged_ = true;
        system_.pnp().Unplug(watched_id_);
      }
    }
  }

  sim::SimSystem system_;
  sim::IoManager io_;
  std::vector<Camera> cameras_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> unplugged_{false};
  std::atomic<int> watched_id_{-1};
  std::atomic<int64_t> started_{0};
  int64_t pool_after_removal_ = -1;
  std::thread watchdog_;
};

}  // namespace vk::fuzz
