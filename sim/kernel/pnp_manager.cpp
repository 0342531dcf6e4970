#include "sim/kernel/pnp_manager.h"

#include <algorithm>
#include <future>

namespace vk::sim {

kernel::DeviceObject* PluggedCamera::top() const {
  kernel::DeviceObject* d = bus->pdo();
  return d->kernel->TopOfStack(d);
}

PnpManager::PnpManager(SimKernel& kernel, UsbHost& host)
    : kernel_(kernel), host_(host) {}

PnpManager::~PnpManager() {
  for (const PluggedCamera& c : Cameras()) Unplug(c.id);
  UnloadDriver();
}

NtStatus PnpManager::LoadDriver(DriverEntryRoutine entry,
                                const std::u16string& service) {
  std::lock_guard lock(mutex_);
  driver_ = kernel_.CreateDriverObject(u"\\Driver\\" + service);
  const std::u16string path = kServicesPath + service;
  const NtStatus status = entry(kernel_, driver_, path.c_str());
  if (!NtSuccess(status)) {
    kernel_.DeleteDriverObject(driver_);
    driver_ = nullptr;
  }
  return status;
}

void PnpManager::UnloadDriver() {
  std::lock_guard lock(mutex_);
  if (driver_ == nullptr) return;
  if (driver_->unload) {
    verifier::RoutineScope scope(
        {RoutineKind::kUnload, reinterpret_cast<const void*>(driver_->unload)});
    driver_->unload(driver_);
    kernel_.VerifyUnload(driver_);
  }
  kernel_.DeleteDriverObject(driver_);
  driver_ = nullptr;
}

NtStatus PnpManager::Send(kernel::DeviceObject* top, uint8_t major,
                          uint8_t minor, void* argument, kernel::PowerType type,
                          int32_t state, NtStatus initial) {
  kernel::Irp* irp = kernel_.NewIrp(top->stack_size);
  kernel::IrpLocation& next = irp->stack[irp->current - 1];
  next.major = major;
  next.minor = minor;
  next.argument1 = argument;
  next.power_type = type;
  next.power_state = state;
  irp->io.status = initial;
  std::promise<NtStatus> done;
  irp->free_on_complete = true;
  irp->user_request = true;
  irp->on_complete = [&done](kernel::Irp* i) { done.set_value(i->io.status); };
  kernel_.CallDriver(top, irp);
  return done.get_future().get();
}

PluggedCamera PnpManager::Plug(std::shared_ptr<Camera> camera,
                               std::u16string hardware_id,
                               NtStatus refused_start) {
  std::lock_guard lock(mutex_);
  PluggedCamera c;
  c.id = next_id_++;
  c.bus = std::make_shared<UsbBusDevice>(kernel_, host_.Plug(std::move(camera)),
                                         c.id, std::move(hardware_id));
  c.bus->RefuseNextStart(refused_start);
  if (driver_ != nullptr && driver_->add_device != nullptr) {
    {
      verifier::RoutineScope scope(
          {RoutineKind::kAddDevice,
           reinterpret_cast<const void*>(driver_->add_device)});
      c.add_status = driver_->add_device(driver_, c.bus->pdo());
    }
    if (NtSuccess(c.add_status)) {
      c.start_status =
          Send(c.top(), kernel::kIrpMjPnp, kernel::kIrpMnStartDevice, nullptr,
               kernel::PowerType::kSystem, 0, kStatusNotSupported);
    }
  }
  cameras_.push_back(c);
  return c;
}

void PnpManager::RemoveLocked(PluggedCamera& c) {
  c.bus->usb().Disconnect();
  if (c.top() != c.bus->pdo()) {
    Send(c.top(), kernel::kIrpMjPnp, kernel::kIrpMnSurpriseRemoval, nullptr,
         kernel::PowerType::kSystem, 0, kStatusNotSupported);
    Send(c.top(), kernel::kIrpMjPnp, kernel::kIrpMnRemoveDevice, nullptr,
         kernel::PowerType::kSystem, 0, kStatusNotSupported);
  }
  host_.Unplug(c.bus->usb_device());
  c.bus->Retire();
}

void PnpManager::Unplug(int id) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(cameras_.begin(), cameras_.end(),
                         [id](const PluggedCamera& c) { return c.id == id; });
  if (it == cameras_.end()) return;
  RemoveLocked(*it);
  cameras_.erase(it);
}

std::vector<PluggedCamera> PnpManager::Cameras() const {
  std::lock_guard lock(mutex_);
  return cameras_;
}

NtStatus PnpManager::SendPnp(int id, uint8_t minor, void* argument) {
  std::lock_guard lock(mutex_);
  for (PluggedCamera& c : cameras_) {
    if (c.id == id)
      return Send(c.top(), kernel::kIrpMjPnp, minor, argument,
                  kernel::PowerType::kSystem, 0, kStatusNotSupported);
  }
  return kStatusNoSuchDevice;
}

void PnpManager::SystemSleep(int32_t state) {
  std::lock_guard lock(mutex_);
  for (PluggedCamera& c : cameras_)
    Send(c.top(), kernel::kIrpMjPower, kernel::kIrpMnSetPower, nullptr,
         kernel::PowerType::kSystem, state, kStatusSuccess);
}

void PnpManager::SystemResume() {
  std::lock_guard lock(mutex_);
  for (PluggedCamera& c : cameras_)
    Send(c.top(), kernel::kIrpMjPower, kernel::kIrpMnSetPower, nullptr,
         kernel::PowerType::kSystem, kernel::kPowerSystemWorking,
         kStatusSuccess);
}

}  // namespace vk::sim
