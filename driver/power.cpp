// Power: system sleep puts the camera into D3 before the system request goes
// down; the return to the working state asks for D0 and configures the
// camera anew from a work item. No pending-I/O accounting for the power
// requests themselves. Completion routines and callbacks run at dispatch
// level and neither wait nor send synchronous requests.
#include "driver/driver.h"

namespace vk::drv {
namespace {

using kernel::KernelPort;

NtStatus PoPassDown(DeviceExtension* ext, kernel::Irp* irp) {
  KernelPort& port = *ext->driver->port;
  port.SkipStack(irp);
  return port.PoCallDriver(ext->lower_device, irp);
}

// Passive level, in a system worker thread.
void ConfigureWork(kernel::DeviceObject*, void* context) {
  auto* ext = static_cast<DeviceExtension*>(context);
  kernel::StoreByte(&ext->configure_queued, 0);
  Configure(ext);
  LeaveIo(ext);
}

// Configuring sends requests and waits for them, which a power callback
// (dispatch level) must not: a work item does it. It holds the pending-I/O
// count, so removal waits for it; one queued item serves any number of
// returns to D0.
void QueueConfigure(DeviceExtension* ext) {
  if (ext->configure_work == nullptr || !EnterIo(ext)) return;
  if (__atomic_exchange_n(&ext->configure_queued, 1, __ATOMIC_ACQ_REL) != 0) {
    LeaveIo(ext);
    return;
  }
  ext->driver->port->QueueWorkItem(ext->configure_work, &ConfigureWork, ext);
}

// Dispatch level.
void D0Done(kernel::DeviceObject*, uint8_t, int32_t, void* context,
            const kernel::IoStatus&) {
  auto* ext = static_cast<DeviceExtension*>(context);
  KernelPort& port = *ext->driver->port;
  kernel::Irp* system = ext->system_power_request;
  ext->system_power_request = nullptr;
  port.StartNextPowerIrp(system);
  port.CompleteRequest(system);
  QueueConfigure(ext);
}

NtStatus SystemWakeCompletion(kernel::DeviceObject*, kernel::Irp* irp,
                              void* context) {
  auto* ext = static_cast<DeviceExtension*>(context);
  KernelPort& port = *ext->driver->port;
  port.StartNextPowerIrp(irp);
  ext->system_power_request = irp;
  const NtStatus status = port.RequestPowerIrp(
      ext->self, kernel::kIrpMnSetPower, kernel::kPowerDeviceD0, &D0Done, ext);
  // Without a device request the system request would never complete.
  if (!NtSuccess(status))
    D0Done(ext->self, kernel::kIrpMnSetPower, kernel::kPowerDeviceD0, ext,
           {status, 0});
  return kStatusMoreProcessingRequired;
}

void SleepCompletion(kernel::DeviceObject*, uint8_t, int32_t, void* context,
                     const kernel::IoStatus&) {
  auto* ext = static_cast<DeviceExtension*>(context);
  kernel::Irp* system = ext->system_power_request;
  ext->system_power_request = nullptr;
  ext->driver->port->StartNextPowerIrp(system);
  PoPassDown(ext, system);
}

NtStatus DeviceD0Completion(kernel::DeviceObject*, kernel::Irp* irp,
                            void* context) {
  auto* ext = static_cast<DeviceExtension*>(context);
  KernelPort& port = *ext->driver->port;
  if (port.PendingReturned(irp)) port.MarkPending(irp);
  port.SetPowerState(ext->self, kernel::PowerType::kDevice,
                     kernel::kPowerDeviceD0);
  port.StartNextPowerIrp(irp);
  return kStatusSuccess;
}

bool IsSleepState(int32_t state) {
  return state >= kernel::kPowerSystemSleeping1 &&
         state <= kernel::kPowerSystemHibernate;
}

NtStatus SetSystemPower(DeviceExtension* ext, kernel::Irp* irp, int32_t state) {
  KernelPort& port = *ext->driver->port;
  if (state == kernel::kPowerSystemWorking) {
    port.MarkPending(irp);
    port.CopyStackToNext(irp);
    port.SetCompletion(irp, &SystemWakeCompletion, ext);
    port.PoCallDriver(ext->lower_device, irp);
    return kStatusPending;
  }
  if (IsSleepState(state)) {
    port.MarkPending(irp);
    ext->system_power_request = irp;
    const NtStatus status =
        port.RequestPowerIrp(ext->physical_device, kernel::kIrpMnSetPower,
                             kernel::kPowerDeviceD3, &SleepCompletion, ext);
    if (status != kStatusPending)
      SleepCompletion(ext->self, kernel::kIrpMnSetPower, kernel::kPowerDeviceD3,
                      ext, {status, 0});
    return kStatusPending;
  }
  port.StartNextPowerIrp(irp);
  return PoPassDown(ext, irp);
}

NtStatus SetDevicePower(DeviceExtension* ext, kernel::Irp* irp, int32_t state) {
  KernelPort& port = *ext->driver->port;
  if (state == kernel::kPowerDeviceD0) {
    port.CopyStackToNext(irp);
    port.SetCompletion(irp, &DeviceD0Completion, ext);
    return port.PoCallDriver(ext->lower_device, irp);
  }
  if (state >= kernel::kPowerDeviceD1 && state <= kernel::kPowerDeviceD3)
    port.SetPowerState(ext->self, kernel::PowerType::kDevice, state);
  port.StartNextPowerIrp(irp);
  return PoPassDown(ext, irp);
}

}  // namespace

NtStatus DispatchPower(kernel::DeviceObject* device, kernel::Irp* irp) {
  DeviceExtension* ext = ExtensionOf(device);
  KernelPort& port = *ext->driver->port;
  const kernel::StackLocation s = port.CurrentStack(irp);
  if (s.minor == kernel::kIrpMnSetPower) {
    if (s.power_type == kernel::PowerType::kSystem)
      return SetSystemPower(ext, irp, s.power_state);
    if (s.power_type == kernel::PowerType::kDevice)
      return SetDevicePower(ext, irp, s.power_state);
  }
  if (s.minor == kernel::kIrpMnSetPower || s.minor == kernel::kIrpMnQueryPower)
    port.StartNextPowerIrp(irp);
  return PoPassDown(ext, irp);
}

}  // namespace vk::drv
