// The device-control dispatcher: every control code of the device link.
// Each handler checks the request's lengths before touching its buffers and
// never reads or writes past them. Passive level, in the caller's thread.
#include "common/byte_order.h"
#include "common/control_codes.h"
#include "common/wire_blocks.h"
#include "driver/driver.h"

namespace vk::drv {
namespace {

using kernel::KernelPort;
using kernel::StackLocation;

constexpr uint8_t kMemoryRequest = 0xA0;
constexpr uint32_t kMemoryLoadChunk = 512;
constexpr uint32_t kMemoryWriteChunk = 64;
constexpr uint32_t kDeviceDescriptorBytes = 18;

// What a handler leaves for the dispatcher: status and Information, or
// kStatusPending when the request stays queued (token acquire).
struct Outcome {
  NtStatus status;
  uintptr_t information = 0;
  bool owned = false;  // the handler completed or queued the request itself
};

KernelPort& PortOf(DeviceExtension* ext) { return *ext->driver->port; }

// A vendor request to the device through one URB; `moved` receives the
// bytes of the data stage.
NtStatus VendorDeviceUrb(DeviceExtension* ext, uint8_t request, uint16_t value,
                         uint16_t index, uint32_t flags, void* buffer,
                         uint32_t length, uint32_t* moved) {
  KernelPort& port = PortOf(ext);
  auto* urb = static_cast<usb::UrbControlVendorOrClassRequest*>(
      AllocateUrb(port, sizeof(usb::UrbControlVendorOrClassRequest)));
  if (urb == nullptr) return kStatusNoMemory;
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = usb::kUrbFunctionVendorDevice;
  urb->TransferFlags = flags;
  urb->TransferBuffer = buffer;
  urb->TransferBufferLength = length;
  urb->Request = request;
  urb->Value = value;
  urb->Index = index;
  const NtStatus status = SubmitUrb(ext, &urb->Hdr);
  if (moved) *moved = urb->TransferBufferLength;
  port.FreePool(urb);
  return status;
}

Outcome PipeInfo(DeviceExtension* ext, const StackLocation& s, uint8_t* out) {
  KernelPort& port = PortOf(ext);
  const kernel::Irql irql = port.AcquireSpinLock(&ext->record_lock);
  Outcome o{kStatusSuccess};
  if (const usb::InterfaceInformation* r = ext->interface_record) {
    if (s.output_length < r->Length) {
      o.status = kStatusBufferTooSmall;
    } else {
      __builtin_memcpy(out, r, r->Length);
      o.information = r->Length;
    }
  }
  port.ReleaseSpinLock(&ext->record_lock, irql);
  return o;
}

Outcome Descriptor(DeviceExtension* ext, const StackLocation& s, uint8_t* out,
                   uint8_t type, uint32_t length) {
  if (s.output_length < length) return {kStatusBufferTooSmall};
  return {kStatusSuccess, ReadDescriptor(ext, type, 0, 0, out, length)};
}

Outcome StringDescriptor(DeviceExtension* ext, const StackLocation& s,
                         uint8_t* buffer) {
  StringDescriptorRequest r;
  if (s.output_length == 0 || s.input_length < sizeof(r))
    return {kStatusInvalidParameter};
  Decode(buffer, sizeof(r), &r);  // read before the answer overwrites it
  const uint32_t got = ReadDescriptor(ext, usb::kStringDescriptorType, r.index,
                                      r.language_id, buffer, s.output_length);
  return got == 0 ? Outcome{kStatusUnsuccessful} : Outcome{kStatusSuccess, got};
}

Outcome VendorDeviceRequest(DeviceExtension* ext, const StackLocation& s,
                            uint8_t* buffer) {
  VendorDeviceRequestBlock b;
  if (!Decode(buffer, s.input_length < sizeof(b) ? s.input_length : sizeof(b),
              &b))
    return {kStatusInvalidParameter};
  if (b.direction != 0) {
    // The answer overwrites the block and goes back as the output.
    if (b.length > s.output_length) return {kStatusBufferTooSmall};
    uint32_t moved = 0;
    const NtStatus status =
        VendorDeviceUrb(ext, b.request, b.value, b.index,
                        usb::kUsbdTransferDirectionIn, buffer, b.length, &moved);
    const uint32_t got = NtSuccess(status) && moved <= b.length ? moved : 0;
    return {kStatusSuccess, got};
  }
  KernelPort& port = PortOf(ext);
  auto* data = static_cast<uint8_t*>(port.AllocateNonPaged(b.length ? b.length : 1));
  if (data == nullptr) return {kStatusSuccess};
  for (uint32_t i = 0; i < b.length; ++i)
    data[i] = b.length == 1 ? b.data : static_cast<uint8_t>(i);
  VendorDeviceUrb(ext, b.request, b.value, b.index, 0, data, b.length, nullptr);
  port.FreePool(data);
  return {kStatusSuccess};
}

Outcome MemoryLoad(DeviceExtension* ext, const StackLocation& s,
                   uint8_t* buffer) {
  const uint32_t chunks = s.input_length / kMemoryLoadChunk;
  for (uint32_t i = 0; i < chunks; ++i) {
    VendorDeviceUrb(ext, kMemoryRequest,
                    static_cast<uint16_t>(i * kMemoryLoadChunk), 0, 0,
                    buffer + i * kMemoryLoadChunk, kMemoryLoadChunk, nullptr);
  }
  return {kStatusSuccess};
}

Outcome MemoryWrite(DeviceExtension* ext, kernel::Irp* irp,
                    const StackLocation& s, const uint8_t* buffer) {
  KernelPort& port = PortOf(ext);
  kernel::Mdl* mdl = port.RequestMdl(irp);
  if (s.input_length != 2 || s.output_length == 0 || mdl == nullptr ||
      port.MdlByteCount(mdl) < s.output_length)
    return {kStatusSuccess};
  auto* bytes = static_cast<uint8_t*>(port.MapMdl(mdl));
  if (bytes == nullptr) return {kStatusSuccess};
  const uint16_t start = LoadLe16(buffer);
  for (uint32_t offset = 0; offset < s.output_length;
       offset += kMemoryWriteChunk) {
    const uint32_t left = s.output_length - offset;
    const uint32_t n = left < kMemoryWriteChunk ? left : kMemoryWriteChunk;
    if (!NtSuccess(VendorDeviceUrb(ext, kMemoryRequest,
                                   static_cast<uint16_t>(start + offset), 0, 0,
                                   bytes + offset, n, nullptr)))
      break;
  }
  return {kStatusSuccess};
}

NtStatus SendResetPort(DeviceExtension* ext) {
  KernelPort& port = PortOf(ext);
  kernel::Event done;
  kernel::IoStatus io = {kStatusPending, 0};
  port.InitializeEvent(&done, true, false);
  kernel::Irp* irp = port.BuildInternalRequest(
      IOCTL_INTERNAL_USB_RESET_PORT, ext->lower_device, nullptr, &done, &io);
  if (irp == nullptr) return kStatusInsufficientResources;
  if (port.CallDriver(ext->lower_device, irp) == kStatusPending)
    port.WaitForEvent(&done);
  return kStatusSuccess;
}

Outcome FrameNumber(DeviceExtension* ext, const StackLocation& s,
                    uint8_t* out) {
  if (s.output_length < 4) return {kStatusInvalidParameter};
  KernelPort& port = PortOf(ext);
  auto* urb = static_cast<usb::UrbGetCurrentFrameNumber*>(
      AllocateUrb(port, sizeof(usb::UrbGetCurrentFrameNumber)));
  if (urb == nullptr) return {kStatusUnsuccessful};
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = usb::kUrbFunctionGetCurrentFrameNumber;
  const NtStatus status = SubmitUrb(ext, &urb->Hdr);
  const uint32_t frame = urb->FrameNumber;
  port.FreePool(urb);
  if (!NtSuccess(status) || frame == 0) return {kStatusUnsuccessful};
  StoreLe32(out, frame);
  return {kStatusSuccess, 4};
}

// URB function of a class or vendor request by type and recipient; 0 for a
// combination that has none.
uint16_t ClassOrVendorFunction(uint8_t type, uint8_t recipient) {
  static constexpr uint16_t kClass[4] = {
      usb::kUrbFunctionClassDevice, usb::kUrbFunctionClassInterface,
      usb::kUrbFunctionClassEndpoint, usb::kUrbFunctionClassOther};
  static constexpr uint16_t kVendor[4] = {
      usb::kUrbFunctionVendorDevice, usb::kUrbFunctionVendorInterface,
      usb::kUrbFunctionVendorEndpoint, usb::kUrbFunctionVendorOther};
  if (recipient > 3) return 0;
  if (type == 1) return kClass[recipient];
  if (type == 2) return kVendor[recipient];
  return 0;
}

Outcome ClassOrVendorRequest(DeviceExtension* ext, kernel::Irp* irp,
                             const StackLocation& s, const uint8_t* buffer) {
  VendorRequestBlock b;
  if (!Decode(buffer, s.input_length, &b)) return {kStatusInvalidParameter};
  const uint16_t function = ClassOrVendorFunction(b.type, b.recipient);
  if (function == 0) return {kStatusInvalidParameter};
  KernelPort& port = PortOf(ext);
  kernel::Mdl* mdl = port.RequestMdl(irp);
  if (s.output_length > 0 &&
      (mdl == nullptr || port.MdlByteCount(mdl) < s.output_length))
    return {kStatusInvalidParameter};
  // A data stage that comes in lands in the caller's output, which this
  // code's method leaves locked for reading only.
  const WritableOutput writable(port, irp, s.control_code,
                                s.output_length > 0 && b.direction != 0);
  if (!NtSuccess(writable.status())) return {writable.status()};
  kernel::Mdl* data = s.output_length == 0 ? nullptr
                      : b.direction != 0   ? writable.mdl()
                                           : mdl;
  auto* urb = static_cast<usb::UrbControlVendorOrClassRequest*>(
      AllocateUrb(port, sizeof(usb::UrbControlVendorOrClassRequest)));
  if (urb == nullptr) return {kStatusNoMemory};
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = function;
  urb->TransferFlags = usb::kUsbdShortTransferOk |
                       (b.direction ? usb::kUsbdTransferDirectionIn : 0);
  urb->TransferBufferLength = s.output_length;
  urb->TransferBufferMDL = data;
  urb->Request = b.request;
  urb->Value = b.value;
  urb->Index = b.index;
  const NtStatus status = SubmitUrb(ext, &urb->Hdr);
  const uint32_t moved = urb->TransferBufferLength;
  port.FreePool(urb);
  if (!NtSuccess(status)) return {status};
  return {status, moved <= s.output_length ? moved : s.output_length};
}

Outcome SetFeature(DeviceExtension* ext, const StackLocation& s,
                   const uint8_t* buffer) {
  if (s.input_length != 4) return {kStatusInvalidParameter};
  KernelPort& port = PortOf(ext);
  auto* urb = static_cast<usb::UrbControlFeatureRequest*>(
      AllocateUrb(port, sizeof(usb::UrbControlFeatureRequest)));
  if (urb == nullptr) return {kStatusUnsuccessful};
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = usb::kUrbFunctionSetFeatureToDevice;
  urb->FeatureSelector = LoadLe16(buffer);
  urb->Index = LoadLe16(buffer + 2);
  const NtStatus status = SubmitUrb(ext, &urb->Hdr);
  port.FreePool(urb);
  return {NtSuccess(status) ? kStatusSuccess : kStatusUnsuccessful};
}

Outcome ClientValue(DeviceExtension* ext, kernel::Irp* irp,
                    const StackLocation& s, const uint8_t* buffer, bool set) {
  KernelPort& port = PortOf(ext);
  if (set) {
    if (s.input_length < 4) return {kStatusInvalidParameter};
    kernel::StoreU32(&ext->client_value, LoadLe32(buffer));
    return {kStatusSuccess};
  }
  // The value goes back through the output buffer that the MDL describes.
  kernel::Mdl* mdl = port.RequestMdl(irp);
  if (s.output_length < 4 || mdl == nullptr || port.MdlByteCount(mdl) < 4)
    return {kStatusBufferTooSmall};
  auto* out = static_cast<uint8_t*>(port.MapMdl(mdl));
  if (out == nullptr) return {kStatusInsufficientResources};
  StoreLe32(out, kernel::LoadU32(&ext->client_value));
  return {kStatusSuccess, 4};
}

Outcome ExclusiveAccess(DeviceExtension* ext, kernel::Irp* irp,
                        const StackLocation& s, uint8_t* buffer) {
  if (s.input_length < sizeof(TokenBlock) || s.output_length < sizeof(TokenBlock))
    return {kStatusInvalidParameter};
  if (buffer[0] != 0) return {AcquireToken(ext, irp), 0, true};
  if (!NtSuccess(ReleaseToken(ext))) return {kStatusUnsuccessful};
  buffer[1] = 0;
  return {kStatusSuccess, sizeof(TokenBlock)};
}

Outcome Handle(DeviceExtension* ext, kernel::Irp* irp, const StackLocation& s) {
  KernelPort& port = PortOf(ext);
  auto* buffer = static_cast<uint8_t*>(port.SystemBuffer(irp));
  const bool buffered = MethodOf(s.control_code) == TransferMethod::kBuffered;
  if (buffer == nullptr &&
      (s.input_length > 0 || (buffered && s.output_length > 0)))
    return {kStatusInvalidParameter};
  switch (s.control_code) {
    case IOCTL_GET_PIPE_INFO: return PipeInfo(ext, s, buffer);
    case IOCTL_GET_DEVICE_DESCRIPTOR:
      return Descriptor(ext, s, buffer, usb::kDeviceDescriptorType,
                        kDeviceDescriptorBytes);
    case IOCTL_GET_CONFIG_DESCRIPTOR:
      return Descriptor(ext, s, buffer, usb::kConfigurationDescriptorType,
                        s.output_length);
    case IOCTL_VENDOR_DEVICE_REQUEST: return VendorDeviceRequest(ext, s, buffer);
    case IOCTL_NO_OPERATION: return {kStatusSuccess};
    case IOCTL_MEMORY_LOAD: return MemoryLoad(ext, s, buffer);
    case IOCTL_RESET_PORT:
      SendResetPort(ext);
      return {kStatusSuccess};
    case IOCTL_RESET_PIPE:
      if (s.input_length < 4) return {kStatusInvalidParameter};
      return {ResetPipe(ext, LoadLe32(buffer))};
    case IOCTL_ABORT_PIPE:
      if (s.input_length < 4) return {kStatusInvalidParameter};
      AbortPipeAt(ext, LoadLe32(buffer));
      return {kStatusSuccess};
    case IOCTL_SET_INTERFACE:
      if (s.input_length < 2) return {kStatusInvalidParameter};
      SelectInterface(ext, buffer[0], buffer[1]);
      return {kStatusSuccess};
    case IOCTL_GET_STRING_DESCRIPTOR: return StringDescriptor(ext, s, buffer);
    case IOCTL_BULK_READ:
    case IOCTL_BULK_WRITE: {
      Outcome o{kStatusSuccess};
      o.status = BulkTransfer(ext, irp, s, &o.information);
      return o;
    }
    case IOCTL_GET_FRAME_NUMBER: return FrameNumber(ext, s, buffer);
    case IOCTL_VENDOR_REQUEST: return ClassOrVendorRequest(ext, irp, s, buffer);
    case IOCTL_GET_LAST_ERROR:
      if (s.output_length < 4) return {kStatusUnsuccessful};
      StoreLe32(buffer, kernel::LoadU32(&ext->last_usbd_error));
      return {kStatusSuccess, 4};
    case IOCTL_ISO_READ:
    case IOCTL_ISO_WRITE: return {IsoTransfer(ext, irp, s)};
    case IOCTL_MEMORY_WRITE: return MemoryWrite(ext, irp, s, buffer);
    case IOCTL_GET_DRIVER_VERSION:
      if (s.output_length < sizeof(DriverVersionBlock)) return {kStatusUnsuccessful};
      Encode(kDriverVersion, buffer);
      return {kStatusSuccess, sizeof(DriverVersionBlock)};
    case IOCTL_START_ISO_STREAM: return {StartIsoStream(ext, irp, s)};
    case IOCTL_STOP_ISO_STREAM:
      kernel::StoreByte(&ext->iso_stop, 1);
      return {kStatusSuccess};
    case IOCTL_READ_ISO_BUFFER: {
      Outcome o{kStatusSuccess};
      o.status = ReadIsoBuffer(ext, irp, s, &o.information);
      return o;
    }
    case IOCTL_SET_FEATURE: return SetFeature(ext, s, buffer);
    case IOCTL_ENABLE_READ:
      kernel::StoreByte(&ext->read_enabled, 1);
      return {kStatusSuccess};
    case IOCTL_SET_CLIENT_VALUE: return ClientValue(ext, irp, s, buffer, true);
    case IOCTL_GET_CLIENT_VALUE: return ClientValue(ext, irp, s, buffer, false);
    case IOCTL_EXCLUSIVE_ACCESS: return ExclusiveAccess(ext, irp, s, buffer);
    default: return {kStatusInvalidParameter};
  }
}

}  // namespace

NtStatus DispatchDeviceControl(kernel::DeviceObject* device, kernel::Irp* irp) {
  DeviceExtension* ext = ExtensionOf(device);
  KernelPort& port = *ext->driver->port;
  if (!EnterIo(ext)) return CompleteWith(port, irp, kStatusDeletePending);
  port.SetStatus(irp, kStatusSuccess, 0);
  const StackLocation s = port.CurrentStack(irp);
  const Outcome o = Handle(ext, irp, s);
  if (o.owned) {
    // A queued acquire keeps its pending-I/O count until it completes.
    if (o.status != kStatusPending) LeaveIo(ext);
    return o.status;
  }
  // Completed before the count is left: removal may delete the device as
  // soon as the count reaches zero, and the request is the device's until
  // it completes.
  const NtStatus status = CompleteWith(port, irp, o.status, o.information);
  LeaveIo(ext);
  return status;
}

}  // namespace vk::drv
