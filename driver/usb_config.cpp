// USB configuration: the start-time descriptor reads and configuration,
// interface selection, pipe reset and abort, and unconfiguration. Every URB
// is zero-filled non-paged pool, used once and freed. Passive level.
#include "common/byte_order.h"
#include "driver/driver.h"

namespace vk::drv {
namespace {

using kernel::KernelPort;

constexpr uint32_t kConfigHeaderBytes = 9;
constexpr uint32_t kConfigFirstBuffer = 25;
constexpr uint32_t kConfigSlack = 16;
constexpr uint32_t kSelectInterfaceFirstRead = 265;
constexpr int kSelectInterfaceReads = 4;  // a growing length cannot loop

KernelPort& PortOf(DeviceExtension* ext) { return *ext->driver->port; }

// Replaces the interface record by a copy of `info`; false (and no record)
// when the copy cannot be allocated. Readers copy what they need under the
// record lock, so the old record can go once it is swapped out.
bool StoreInterfaceRecord(DeviceExtension* ext,
                          const usb::InterfaceInformation& info) {
  KernelPort& port = PortOf(ext);
  auto* copy =
      static_cast<usb::InterfaceInformation*>(port.AllocateNonPaged(info.Length));
  if (copy != nullptr) __builtin_memcpy(copy, &info, info.Length);
  const kernel::Irql irql = port.AcquireSpinLock(&ext->record_lock);
  usb::InterfaceInformation* old = ext->interface_record;
  ext->interface_record = copy;
  port.ReleaseSpinLock(&ext->record_lock, irql);
  if (old != nullptr) port.FreePool(old);
  return copy != nullptr;
}

// Reads the whole configuration descriptor: wTotalLength checked against
// the bytes that came back, so nothing later parses past them.
uint8_t* ReadWholeConfiguration(DeviceExtension* ext, uint32_t first_size,
                                NtStatus* status) {
  KernelPort& port = PortOf(ext);
  uint32_t size = first_size;
  for (int attempt = 0; attempt < kSelectInterfaceReads; ++attempt) {
    auto* buffer = static_cast<uint8_t*>(port.AllocateNonPaged(size));
    if (buffer == nullptr) {
      *status = kStatusNoMemory;
      return nullptr;
    }
    const uint32_t got = ReadDescriptor(ext, usb::kConfigurationDescriptorType,
                                        0, 0, buffer, size);
    const uint32_t total = got >= kConfigHeaderBytes ? LoadLe16(buffer + 2) : 0;
    if (total >= kConfigHeaderBytes && total <= size && got >= total) {
      *status = kStatusSuccess;
      return buffer;
    }
    port.FreePool(buffer);
    if (total < kConfigHeaderBytes || total <= size) break;
    size = total;
  }
  *status = kStatusUnsuccessful;
  return nullptr;
}

NtStatus PipeRequest(DeviceExtension* ext, uint16_t function,
                     usb::UsbdPipeHandle pipe) {
  KernelPort& port = PortOf(ext);
  const uint16_t length = usb::PipeRequestLength(port.UsbdiVersion());
  auto* urb = static_cast<usb::UrbPipeRequest*>(
      AllocateUrb(port, sizeof(usb::UrbPipeRequest)));
  if (urb == nullptr) return kStatusInsufficientResources;
  urb->Hdr.Length = length;
  urb->Hdr.Function = function;
  urb->PipeHandle = pipe;
  const NtStatus status = SubmitUrb(ext, &urb->Hdr);
  port.FreePool(urb);
  return status;
}

NtStatus SelectFirstInterface(DeviceExtension* ext, const uint8_t* config) {
  KernelPort& port = PortOf(ext);
  const usb::InterfaceDescriptor* interface =
      port.ParseConfigurationDescriptor(config, config, -1, -1, -1, -1, -1);
  if (interface == nullptr) return kStatusUnsuccessful;
  usb::UrbSelectConfiguration* urb =
      port.CreateConfigurationRequest(config, interface);
  if (urb == nullptr) return kStatusNoMemory;
  for (uint8_t i = 0; i < interface->bNumEndpoints; ++i)
    urb->Interface.Pipes[i].MaximumTransferSize = kMaxTransferSize;
  NtStatus status = SubmitUrb(ext, &urb->Hdr);
  if (NtSuccess(status) && UsbdSuccess(urb->Hdr.Status)) {
    ext->configuration_handle = urb->ConfigurationHandle;
    if (!StoreInterfaceRecord(ext, urb->Interface)) status = kStatusNoMemory;
  }
  port.FreePool(urb);
  return status;
}

}  // namespace

uint32_t ReadDescriptor(DeviceExtension* ext, uint8_t type, uint8_t index,
                        uint16_t language, void* buffer, uint32_t length) {
  KernelPort& port = PortOf(ext);
  auto* urb = static_cast<usb::UrbControlDescriptorRequest*>(
      AllocateUrb(port, sizeof(usb::UrbControlDescriptorRequest)));
  if (urb == nullptr) return 0;
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = usb::kUrbFunctionGetDescriptorFromDevice;
  urb->TransferBuffer = buffer;
  urb->TransferBufferLength = length;
  urb->DescriptorType = type;
  urb->Index = index;
  urb->LanguageId = language;
  const NtStatus status = SubmitUrb(ext, &urb->Hdr);
  const uint32_t got =
      NtSuccess(status) ? (urb->TransferBufferLength < length
                               ? urb->TransferBufferLength
                               : length)
                        : 0;
  port.FreePool(urb);
  return got;
}

bool ReadDeviceDescriptor(DeviceExtension* ext) {
  KernelPort& port = PortOf(ext);
  auto* d = static_cast<usb::DeviceDescriptor*>(
      port.AllocateNonPaged(sizeof(usb::DeviceDescriptor)));
  if (d == nullptr) return false;
  if (ReadDescriptor(ext, usb::kDeviceDescriptorType, 0, 0, d, sizeof(*d)) !=
      sizeof(*d)) {
    port.FreePool(d);
    return false;
  }
  if (ext->device_descriptor != nullptr) port.FreePool(ext->device_descriptor);
  ext->device_descriptor = d;
  return true;
}

NtStatus Configure(DeviceExtension* ext) {
  KernelPort& port = PortOf(ext);
  auto* head = static_cast<uint8_t*>(port.AllocateNonPaged(kConfigFirstBuffer));
  if (head == nullptr) return kStatusNoMemory;
  const uint32_t got = ReadDescriptor(ext, usb::kConfigurationDescriptorType,
                                      0, 0, head, kConfigHeaderBytes);
  const uint32_t total = got >= kConfigHeaderBytes ? LoadLe16(head + 2) : 0;
  port.FreePool(head);
  if (total < kConfigHeaderBytes) return kStatusUnsuccessful;
  NtStatus status = kStatusSuccess;
  uint8_t* config = ReadWholeConfiguration(ext, total + kConfigSlack, &status);
  if (config == nullptr) return status;
  status = SelectFirstInterface(ext, config);
  port.FreePool(config);
  return status;
}

NtStatus SelectInterface(DeviceExtension* ext, uint8_t interface_number,
                         uint8_t alternate_setting) {
  KernelPort& port = PortOf(ext);
  NtStatus status = kStatusSuccess;
  uint8_t* config =
      ReadWholeConfiguration(ext, kSelectInterfaceFirstRead, &status);
  if (config == nullptr) return status;
  const usb::InterfaceDescriptor* interface = port.ParseConfigurationDescriptor(
      config, config, interface_number, alternate_setting, -1, -1, -1);
  if (interface == nullptr) {
    port.FreePool(config);
    return kStatusUnsuccessful;
  }
  const size_t size = usb::SelectInterfaceUrbSize(interface->bNumEndpoints);
  auto* urb = static_cast<usb::UrbSelectInterface*>(AllocateUrb(port, size));
  if (urb == nullptr) {
    port.FreePool(config);
    return kStatusNoMemory;
  }
  urb->Hdr.Length = static_cast<uint16_t>(size);
  urb->Hdr.Function = usb::kUrbFunctionSelectInterface;
  urb->ConfigurationHandle = ext->configuration_handle;
  urb->Interface.Length = static_cast<uint16_t>(
      size - offsetof(usb::UrbSelectInterface, Interface));
  urb->Interface.InterfaceNumber = interface_number;
  urb->Interface.AlternateSetting = alternate_setting;
  for (uint8_t i = 0; i < interface->bNumEndpoints; ++i)
    urb->Interface.Pipes[i].MaximumTransferSize = kMaxTransferSize;
  status = SubmitUrb(ext, &urb->Hdr);
  if (NtSuccess(status) && !StoreInterfaceRecord(ext, urb->Interface))
    status = kStatusNoMemory;
  port.FreePool(urb);
  port.FreePool(config);
  return status;
}

PipeLookup FindPipe(DeviceExtension* ext, uint32_t index,
                    usb::PipeInformation* pipe) {
  KernelPort& port = PortOf(ext);
  const kernel::Irql irql = port.AcquireSpinLock(&ext->record_lock);
  const usb::InterfaceInformation* record = ext->interface_record;
  PipeLookup result = PipeLookup::kNoRecord;
  if (record != nullptr) {
    result = index < record->NumberOfPipes ? PipeLookup::kFound
                                           : PipeLookup::kBadIndex;
    if (result == PipeLookup::kFound) *pipe = record->Pipes[index];
  }
  port.ReleaseSpinLock(&ext->record_lock, irql);
  return result;
}

NtStatus PipeLookupStatus(PipeLookup lookup) {
  return lookup == PipeLookup::kNoRecord ? kStatusUnsuccessful
                                         : kStatusInvalidParameter;
}

NtStatus ResetPipe(DeviceExtension* ext, uint32_t index) {
  usb::PipeInformation pipe;
  const PipeLookup lookup = FindPipe(ext, index, &pipe);
  if (lookup != PipeLookup::kFound) return PipeLookupStatus(lookup);
  return PipeRequest(ext, usb::kUrbFunctionResetPipe, pipe.PipeHandle);
}

NtStatus AbortPipe(DeviceExtension* ext, usb::UsbdPipeHandle pipe) {
  return PipeRequest(ext, usb::kUrbFunctionAbortPipe, pipe);
}

NtStatus AbortPipeAt(DeviceExtension* ext, uint32_t index) {
  usb::PipeInformation pipe;
  const PipeLookup lookup = FindPipe(ext, index, &pipe);
  if (lookup != PipeLookup::kFound) return PipeLookupStatus(lookup);
  return AbortPipe(ext, pipe.PipeHandle);
}

NtStatus Unconfigure(DeviceExtension* ext) {
  KernelPort& port = PortOf(ext);
  auto* urb = static_cast<usb::UrbSelectConfiguration*>(
      AllocateUrb(port, sizeof(usb::UrbSelectConfiguration)));
  if (urb == nullptr) return kStatusNoMemory;
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = usb::kUrbFunctionSelectConfiguration;
  SubmitUrb(ext, &urb->Hdr);
  port.FreePool(urb);
  return kStatusSuccess;
}

}  // namespace vk::drv
