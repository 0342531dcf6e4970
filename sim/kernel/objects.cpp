// Driver and device objects, device stacks and the object namespace of
// device names and symbolic links.
#include <cstdio>
#include <cstdlib>

#include "sim/kernel/sim_kernel.h"
#include "sim/kernel/usb_bus.h"

namespace vk::kernel {

void* DeviceExtensionOf(DeviceObject* device) {
  return device->extension.data();
}

void* DriverContextOf(DriverObject* driver) { return driver->context; }

}  // namespace vk::kernel

namespace vk::sim {

SimKernel::SimKernel() { SetHive(std::make_unique<MemoryHive>()); }

SimKernel::~SimKernel() {
  {
    std::lock_guard lock(work_mutex_);
    work_stop_ = true;
  }
  work_changed_.notify_all();
  if (worker_.joinable()) worker_.join();
  for (kernel::RegistryKey* key : open_keys_) delete key;
  for (kernel::DeviceObject* d : devices_) delete d;
  for (kernel::DriverObject* d : drivers_) delete d;
  for (auto& [p, b] : live_) std::free(p);
  for (auto& [p, bytes] : quarantine_) ReleaseQuarantined(p, bytes);
}

void SimKernel::VerifyUnload(kernel::DriverObject* driver) {
  char text[200];
  size_t blocks = 0, bytes = 0;
  {
    std::lock_guard lock(pool_mutex_);
    for (const auto& [p, b] : live_) {
      if (!b.driver) continue;
      ++blocks;
      bytes += b.bytes;
    }
  }
  if (blocks != 0) {
    std::snprintf(text, sizeof(text),
                  "driver unloaded with %zu pool blocks (%zu bytes) or "
                  "requests still allocated",
                  blocks, bytes);
    verifier::Report(text);
  }
  if (ThreadReferences() != 0)
    verifier::Report("driver unloaded with a system thread still referenced");
  {
    std::lock_guard lock(work_mutex_);
    if (!work_.empty() || work_running_ != 0)
      verifier::Report("driver unloaded with a work item queued or running");
  }
  std::lock_guard lock(objects_mutex_);
  for (kernel::DeviceObject* d : devices_) {
    if (d->driver == driver && !d->deleted)
      verifier::Report("driver unloaded with a device object not deleted");
  }
}

kernel::DriverObject* SimKernel::CreateDriverObject(
    const std::u16string& name) {
  auto* driver = new kernel::DriverObject;
  driver->kernel = this;
  driver->name = name;
  std::lock_guard lock(objects_mutex_);
  drivers_.insert(driver);
  return driver;
}

void SimKernel::DeleteDriverObject(kernel::DriverObject* driver) {
  std::lock_guard lock(objects_mutex_);
  drivers_.erase(driver);
  delete driver;
}

void SimKernel::SetDispatch(kernel::DriverObject* driver, uint8_t major,
                            kernel::DispatchRoutine routine) {
  if (major <= kernel::kIrpMjMaximum) driver->dispatch[major] = routine;
}

void SimKernel::SetAddDevice(kernel::DriverObject* driver,
                             kernel::AddDeviceRoutine routine) {
  driver->add_device = routine;
}

void SimKernel::SetUnload(kernel::DriverObject* driver,
                          kernel::UnloadRoutine routine) {
  driver->unload = routine;
}

void SimKernel::SetDriverContext(kernel::DriverObject* driver, void* context) {
  driver->context = context;
}

kernel::DeviceObject* SimKernel::FindDevice(const std::u16string& name) const {
  const std::u16string lower = LowerCase(name);
  for (kernel::DeviceObject* d : devices_) {
    if (!d->name.empty() && LowerCase(d->name) == lower) return d;
  }
  return nullptr;
}

NtStatus SimKernel::CreateDevice(kernel::DriverObject* driver,
                                 uint32_t extension_size, const char16_t* name,
                                 kernel::DeviceObject** device) {
  verifier::RequireAtMost(kPassiveLevel, "IoCreateDevice");
  {
    std::lock_guard lock(pool_mutex_);
    if (ShouldFail()) return kStatusInsufficientResources;
  }
  std::lock_guard lock(objects_mutex_);
  if (name != nullptr && FindDevice(name) != nullptr)
    return kStatusObjectNameCollision;
  auto* d = new kernel::DeviceObject;
  d->kernel = this;
  d->driver = driver;
  d->name = name ? name : u"";
  d->extension.assign(extension_size, 0xCD);
  devices_.insert(d);
  *device = d;
  return kStatusSuccess;
}

kernel::DeviceObject* SimKernel::CreateBusDevice(UsbBusDevice* bus,
                                                 const std::u16string& name) {
  auto* d = new kernel::DeviceObject;
  d->kernel = this;
  d->bus = bus;
  d->name = name;
  d->flags = 0;
  std::lock_guard lock(objects_mutex_);
  devices_.insert(d);
  return d;
}

void SimKernel::UpdateDeviceFlags(kernel::DeviceObject* device, uint32_t set,
                                  uint32_t clear) {
  device->flags = (device->flags & ~clear) | set;
}

uint32_t SimKernel::DeviceFlags(kernel::DeviceObject* device) {
  return device->flags;
}

kernel::DeviceObject* SimKernel::TopOfStack(
    kernel::DeviceObject* device) const {
  std::lock_guard lock(objects_mutex_);
  while (device->attached != nullptr) device = device->attached;
  return device;
}

kernel::DeviceObject* SimKernel::AttachToStack(kernel::DeviceObject* device,
                                               kernel::DeviceObject* target) {
  verifier::RequireAtMost(kDispatchLevel, "IoAttachDeviceToDeviceStack");
  std::lock_guard lock(objects_mutex_);
  if (devices_.count(target) == 0) return nullptr;
  while (target->attached != nullptr) target = target->attached;
  target->attached = device;
  device->attached_to = target;
  device->stack_size = static_cast<int8_t>(target->stack_size + 1);
  return target;
}

void SimKernel::Detach(kernel::DeviceObject* lower) {
  verifier::RequireAtMost(kPassiveLevel, "IoDetachDevice");
  std::lock_guard lock(objects_mutex_);
  if (lower->attached != nullptr) lower->attached->attached_to = nullptr;
  lower->attached = nullptr;
}

void SimKernel::DeleteDevice(kernel::DeviceObject* device) {
  verifier::RequireAtMost(kPassiveLevel, "IoDeleteDevice");
  if (device->driver != nullptr) CheckNoRequestHeld(device);
  std::lock_guard lock(objects_mutex_);
  if (devices_.count(device) == 0 || device->deleted) {
    verifier::Report("IoDeleteDevice of a device that does not exist");
    return;
  }
  if (device->attached_to) device->attached_to->attached = nullptr;
  device->attached_to = nullptr;
  device->deleted = true;
  device->name.clear();  // no new open finds it
  if (device->open_files == 0) {
    devices_.erase(device);
    delete device;
  }
}

// A request that has reached `device` and not yet completed back past it
// (the removal that deletes it has been passed on) is still the driver's.
void SimKernel::CheckNoRequestHeld(kernel::DeviceObject* device) {
  if (device->held_requests.load() > 0)
    verifier::Report(
        "device deleted while a request it holds is not completed");
}

void SimKernel::ReferenceDevice(kernel::DeviceObject* device) {
  std::lock_guard lock(objects_mutex_);
  ++device->open_files;
}

void SimKernel::ReleaseDevice(kernel::DeviceObject* device) {
  std::lock_guard lock(objects_mutex_);
  if (--device->open_files == 0 && device->deleted) {
    devices_.erase(device);
    delete device;
  }
}

size_t SimKernel::DeviceCount() const {
  std::lock_guard lock(objects_mutex_);
  size_t n = 0;
  for (kernel::DeviceObject* d : devices_) n += d->deleted ? 0 : 1;
  return n;
}

NtStatus SimKernel::CreateSymbolicLink(const char16_t* link,
                                       const char16_t* device_name) {
  verifier::RequireAtMost(kPassiveLevel, "IoCreateSymbolicLink");
  std::lock_guard lock(objects_mutex_);
  const std::u16string key = LowerCase(link);
  if (links_.count(key) != 0) return kStatusObjectNameCollision;
  links_[key] = device_name;
  return kStatusSuccess;
}

NtStatus SimKernel::DeleteSymbolicLink(const char16_t* link) {
  verifier::RequireAtMost(kPassiveLevel, "IoDeleteSymbolicLink");
  std::lock_guard lock(objects_mutex_);
  return links_.erase(LowerCase(link)) ? kStatusSuccess
                                       : kStatusObjectNameNotFound;
}

bool SimKernel::LinkExists(const std::u16string& link) const {
  std::lock_guard lock(objects_mutex_);
  return links_.count(LowerCase(link)) != 0;
}

kernel::DeviceObject* SimKernel::ResolveLink(const std::u16string& link) const {
  std::lock_guard lock(objects_mutex_);
  auto it = links_.find(LowerCase(link));
  return it == links_.end() ? nullptr : FindDevice(it->second);
}

NtStatus SimKernel::HardwareId(kernel::DeviceObject* pdo, char16_t* buffer,
                               uint32_t size, uint32_t* length) {
  verifier::RequireAtMost(kPassiveLevel, "IoGetDeviceProperty");
  *length = 0;
  if (pdo->bus == nullptr) return kStatusInvalidDeviceRequest;
  // A multi-string: the ID, its terminator and the list's terminator.
  const std::u16string& id = pdo->bus->hardware_id();
  const auto needed = static_cast<uint32_t>((id.size() + 2) * sizeof(char16_t));
  *length = needed;
  if (size < needed) return kStatusBufferTooSmall;
  std::copy(id.begin(), id.end(), buffer);
  buffer[id.size()] = 0;
  buffer[id.size() + 1] = 0;
  return kStatusSuccess;
}

int32_t SimKernel::DevicePowerState(kernel::DeviceObject* device) const {
  return device->device_power_state.load();
}

}  // namespace vk::sim
