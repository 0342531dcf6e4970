// The simulated machine below user mode on Linux: kernel, vku2cam driver,
// USB host and cameras, booted on first use as the environment asks
// (VKCAM_SIM_CAMERAS, VKCAM_SIM_NVRAM, VKCAM_SIM_FAULTS, VKCAM_SIM_THROTTLE).
// libvkhost loads it when a device path is first opened, as Windows has its
// kernel; tests and tools reach it here to plug and unplug cameras.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/host/host_objects.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/sim_system.h"

#define VKWORLD_API __attribute__((visibility("default")))

namespace vk::world {

class VKWORLD_API World {
 public:
  static World& Get();

  sim::SimSystem& system() { return *system_; }
  sim::IoManager& io() { return *io_; }
  sim::PluggedCamera Plug(sim::CameraOptions options = {});
  void Unplug(int id);
  // The camera of a plugged camera id, or null.
  std::shared_ptr<sim::Camera> CameraOf(int id);
  // "\\.\NAME" -> the "\DosDevices\NAME" device, opened.
  std::shared_ptr<host::HostFile> Open(const char* path, DWORD flags,
                                       DWORD* error);

 private:
  World();
  std::unique_ptr<sim::SimSystem> system_;
  std::unique_ptr<sim::IoManager> io_;
};

}  // namespace vk::world

// Installs the world as the host's opener of device paths.
extern "C" VKWORLD_API void vkworld_install();
