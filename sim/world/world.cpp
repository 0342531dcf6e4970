#include "sim/world/world.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "sim/camera/environment.h"
#include "sim/world/host_hive.h"
#include "sim/world/device_file.h"

namespace vk::world {
namespace {

bool Throttled() {
  const char* v = std::getenv("VKCAM_SIM_THROTTLE");
  return v == nullptr || std::strcmp(v, "0") != 0;
}

}  // namespace

World& World::Get() {
  // Never destroyed: like the kernel, it outlives every program using it.
  static World* world = new World;
  return *world;
}

World::World()
    : system_(std::make_unique<sim::SimSystem>(
          &drv::DriverEntry, sim::UsbHostOptions{Throttled(), 40e6},
          std::make_unique<HostMachineHive>())),
      io_(std::make_unique<sim::IoManager>(system_->kernel())) {
  const int count = sim::SimulatedCameraCount();
  for (int i = 0; i < count; ++i) {
    sim::CameraOptions options;
    std::string error;
    if (!sim::CameraOptionsFromEnvironment(i, &options, &error)) {
      std::fprintf(stderr, "vkworld: %s; no camera is attached\n", error.c_str());
      return;
    }
    Plug(options);
  }
}

sim::PluggedCamera World::Plug(sim::CameraOptions options) {
  return system_->pnp().Plug(std::make_shared<sim::Camera>(std::move(options)));
}

void World::Unplug(int id) { system_->pnp().Unplug(id); }

std::shared_ptr<sim::Camera> World::CameraOf(int id) {
  for (const sim::PluggedCamera& c : system_->pnp().Cameras()) {
    if (c.id == id) return std::shared_ptr<sim::Camera>(
        c.bus->usb_device(), &c.bus->usb().camera());
  }
  return nullptr;
}

std::shared_ptr<host::HostFile> World::Open(const char* path, DWORD flags,
                                            DWORD* error) {
  const std::u16string link =
      u"\\DosDevices\\" + sim::Utf16(std::string(path + 4));
  std::shared_ptr<sim::OpenFile> file;
  const NtStatus status = io_->Open(link, &file);
  if (!NtSuccess(status)) {
    *error = Win32ErrorOf(status);
    return nullptr;
  }
  return std::make_shared<DeviceFile>(*io_, std::move(file),
                                      (flags & FILE_FLAG_OVERLAPPED) != 0);
}

}  // namespace vk::world

extern "C" void vkworld_install() {
  vk::host::SetDeviceOpener([](const char* path, DWORD, DWORD, DWORD flags,
                               DWORD* error) {
    return vk::world::World::Get().Open(path, flags, error);
  });
}
