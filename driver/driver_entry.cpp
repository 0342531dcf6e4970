// Driver entry, AddDevice and unload: from load to a named, attached device
// object per camera, with instance numbers 0 to 7 taken lowest first.
#include "common/control_codes.h"
#include "driver/driver.h"
#include "driver/wide_string.h"

namespace vk::drv {
namespace {

using kernel::KernelPort;

constexpr size_t kHardwareIdChars = 256;  // a 512-byte property buffer
constexpr size_t kDeviceKeyChars = 17;    // VID_vvvv&PID_pppp

DriverState* StateOf(kernel::DriverObject* driver) {
  return static_cast<DriverState*>(kernel::DriverContextOf(driver));
}

// Lowest free instance number, or -1 when all eight are taken.
int TakeInstance(DriverState* state) {
  KernelPort& port = *state->port;
  const kernel::Irql irql = port.AcquireSpinLock(&state->instance_lock);
  int taken = -1;
  for (int n = 0; n < kMaxInstances; ++n) {
    if ((state->instance_mask & (1u << n)) == 0) {
      state->instance_mask |= 1u << n;
      taken = n;
      break;
    }
  }
  port.ReleaseSpinLock(&state->instance_lock, irql);
  return taken;
}

// "USB\VID_1a2b&PID_3c4d&REV_0001" -> "VID_1a2b&PID_3c4d" (upper-cased
// later, with the settings).
void DeviceKeyNameFromHardwareId(KernelPort& port, kernel::DeviceObject* pdo,
                                 InstanceConfig* config) {
  char16_t id[kHardwareIdChars] = {};
  uint32_t length = 0;
  port.HardwareId(pdo, id, sizeof(id), &length);
  if (length == 0) return;
  id[kHardwareIdChars - 1] = 0;
  if (WideLength(id) < 4 + kDeviceKeyChars) return;
  for (size_t i = 0; i < kDeviceKeyChars; ++i)
    config->device_key_name[i] = id[4 + i];
  config->device_key_name[kDeviceKeyChars] = 0;
}

char16_t* NewName(KernelPort& port, const char16_t* prefix,
                  const char16_t* link_name) {
  const size_t chars = WideLength(prefix) + WideLength(link_name) + 1;
  auto* name =
      static_cast<char16_t*>(port.AllocateNonPaged(chars * sizeof(char16_t)));
  if (name != nullptr) {
    name[0] = 0;
    WideAppend(name, chars, prefix);
    WideAppend(name, chars, link_name);
  }
  return name;
}

// Reads the settings, creates the device object and its link. On failure
// everything it took is given back, `config` included.
NtStatus CreateCameraDevice(DriverState* state, kernel::DeviceObject* pdo,
                            uint8_t instance, InstanceConfig* config,
                            kernel::DeviceObject** device) {
  KernelPort& port = *state->port;
  __builtin_memset(config, 0, sizeof(*config));
  DeviceKeyNameFromHardwareId(port, pdo, config);
  NtStatus status =
      state->service_key_path == nullptr
          ? kStatusUnsuccessful
          : ReadInstanceConfig(port, state->service_key_path, instance, config);
  // Without a link name the camera cannot be named: refuse it.
  if (!NtSuccess(status) || config->link_name[0] == 0) {
    port.FreePool(config);
    return kStatusUnsuccessful;
  }
  char16_t* link = NewName(port, u"\\DosDevices\\", config->link_name);
  char16_t* name = NewName(port, u"\\Device\\", config->link_name);
  status = link && name
               ? port.CreateDevice(state->driver, sizeof(DeviceExtension), name,
                                   device)
               : kStatusNoMemory;
  if (NtSuccess(status)) {
    DeviceExtension* ext = ExtensionOf(*device);
    __builtin_memset(ext, 0, sizeof(*ext));
    WideCopy(ext->link_name, link);
    ext->instance = instance;
    ext->settings = config;
    port.InitializeSpinLock(&ext->record_lock);
    port.InitializeSpinLock(&ext->stream_lock);
    ext->driver = state;
    ext->self = *device;
    status = port.CreateSymbolicLink(link, name);
    if (!NtSuccess(status)) port.DeleteDevice(*device);
  }
  if (!NtSuccess(status)) port.FreePool(config);
  if (link) port.FreePool(link);
  if (name) port.FreePool(name);
  return status;
}

}  // namespace

NtStatus DriverEntry(KernelPort& port, kernel::DriverObject* driver,
                     const char16_t* registry_path) {
  auto* state =
      static_cast<DriverState*>(port.AllocateNonPaged(sizeof(DriverState)));
  if (state == nullptr) return kStatusInsufficientResources;
  __builtin_memset(state, 0, sizeof(*state));
  state->port = &port;
  state->driver = driver;
  port.SetDispatch(driver, kernel::kIrpMjCreate, &DispatchCreate);
  port.SetDispatch(driver, kernel::kIrpMjCleanup, &DispatchCleanup);
  port.SetDispatch(driver, kernel::kIrpMjClose, &DispatchClose);
  port.SetDispatch(driver, kernel::kIrpMjDeviceControl, &DispatchDeviceControl);
  port.SetDispatch(driver, kernel::kIrpMjRead, &DispatchReadWrite);
  port.SetDispatch(driver, kernel::kIrpMjWrite, &DispatchReadWrite);
  port.SetDispatch(driver, kernel::kIrpMjPnp, &DispatchPnp);
  port.SetDispatch(driver, kernel::kIrpMjPower, &DispatchPower);
  port.SetAddDevice(driver, &AddDevice);
  port.SetUnload(driver, &Unload);
  // Without this copy no camera's settings can be found, and AddDevice
  // refuses every camera.
  const size_t chars = WideLength(registry_path) + 1;
  state->service_key_path =
      static_cast<char16_t*>(port.AllocateNonPaged(chars * sizeof(char16_t)));
  if (state->service_key_path != nullptr)
    WideCopy(state->service_key_path, chars, registry_path);
  port.InitializeSpinLock(&state->instance_lock);
  port.InitializeSpinLock(&state->token.access_lock);
  port.InitializeEvent(&state->registration_lock, false, true);
  port.SetDriverContext(driver, state);
  return kStatusSuccess;
}

NtStatus AddDevice(kernel::DriverObject* driver, kernel::DeviceObject* pdo) {
  DriverState* state = StateOf(driver);
  KernelPort& port = *state->port;
  const int n = TakeInstance(state);
  if (n < 0) return kStatusUnsuccessful;
  auto* config = static_cast<InstanceConfig*>(
      port.AllocateNonPaged(sizeof(InstanceConfig)));
  if (config == nullptr) {
    ReleaseInstance(state, static_cast<uint8_t>(n));
    return kStatusNoMemory;
  }
  kernel::DeviceObject* device = nullptr;
  const NtStatus status =
      CreateCameraDevice(state, pdo, static_cast<uint8_t>(n), config, &device);
  if (!NtSuccess(status)) {
    ReleaseInstance(state, static_cast<uint8_t>(n));
    return status;
  }
  port.UpdateDeviceFlags(device, kernel::kDoDirectIo | kernel::kDoPowerPagable,
                         kernel::kDoDeviceInitializing);
  DeviceExtension* ext = ExtensionOf(device);
  ext->physical_device = pdo;
  ext->lower_device = port.AttachToStack(device, pdo);
  if (ext->lower_device == nullptr) {
    port.DeleteSymbolicLink(ext->link_name);
    port.FreePool(ext->settings);
    port.DeleteDevice(device);
    ReleaseInstance(state, static_cast<uint8_t>(n));
    return kStatusNoSuchDevice;
  }
  ext->configure_work = port.AllocateWorkItem(device);
  if (ext->configure_work == nullptr) {
    port.Detach(ext->lower_device);
    port.DeleteSymbolicLink(ext->link_name);
    port.FreePool(ext->settings);
    port.DeleteDevice(device);
    ReleaseInstance(state, static_cast<uint8_t>(n));
    return kStatusNoMemory;
  }
  ext->last_usbd_error = 0;
  ext->pending_io = 1;
  port.InitializeEvent(&ext->remove_event, true, false);
  return kStatusSuccess;
}

void ReleaseInstance(DriverState* state, uint8_t instance) {
  KernelPort& port = *state->port;
  const kernel::Irql irql = port.AcquireSpinLock(&state->instance_lock);
  state->instance_mask &= ~(1u << instance);
  port.ReleaseSpinLock(&state->instance_lock, irql);
}

void Unload(kernel::DriverObject* driver) {
  DriverState* state = StateOf(driver);
  KernelPort& port = *state->port;
  if (state->service_key_path != nullptr)
    port.FreePool(state->service_key_path);
  port.SetDriverContext(driver, nullptr);
  port.FreePool(state);
}

}  // namespace vk::drv
