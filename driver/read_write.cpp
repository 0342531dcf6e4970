// The read path: each ReadFile is one bulk IN transfer straight into the
// caller's locked pages through the request's MDL, completed when the transfer
// completes. No copy, no queue, no time-out. And bulk transfers by control
// code on any bulk or interrupt pipe.
#include "common/byte_order.h"
#include "common/control_codes.h"
#include "driver/driver.h"

namespace vk::drv {
namespace {

using kernel::KernelPort;

constexpr uint32_t kBulkFlagsIn =
    usb::kUsbdTransferDirectionIn | usb::kUsbdShortTransferOk;
constexpr uint32_t kBulkFlagsOut = usb::kUsbdShortTransferOk;

struct ReadContext {
  usb::UrbBulkOrInterruptTransfer* urb;
  DeviceExtension* ext;
};

void FreeReadContext(KernelPort& port, ReadContext* ctx) {
  if (ctx->urb) port.FreePool(ctx->urb);
  port.FreePool(ctx);
}

// Dispatch level.
NtStatus ReadCompletion(kernel::DeviceObject*, kernel::Irp* irp,
                        void* context) {
  auto* ctx = static_cast<ReadContext*>(context);
  DeviceExtension* ext = ctx->ext;
  KernelPort& port = *ext->driver->port;
  const kernel::IoStatus io = port.Status(irp);
  if (NtSuccess(io.status))
    port.SetStatus(irp, io.status, ctx->urb->TransferBufferLength);
  LeaveIo(ext);
  FreeReadContext(port, ctx);
  return io.status;
}

// The handle's read pipe, checked as the read path requires.
NtStatus ReadPipe(DeviceExtension* ext, kernel::FileObject* file,
                  usb::PipeInformation* pipe) {
  KernelPort& port = *ext->driver->port;
  if (!kernel::LoadByte(&ext->read_enabled) || file == nullptr ||
      port.FileContext(file) != ReadPipeContext())
    return kStatusInvalidHandle;
  if (FindPipe(ext, 1, pipe) != PipeLookup::kFound ||
      pipe->PipeType != usb::UsbdPipeType::kBulk)
    return kStatusInvalidHandle;
  return pipe->PipeHandle == nullptr ? kStatusUnsuccessful : kStatusSuccess;
}

// Builds the read context: the bulk URB over the caller's whole buffer,
// described by the request's own MDL. (A partial MDL over the same whole
// range would add nothing, and building one copies the page numbers into an
// MDL sized by the kernel in use: Wine sizes them for 32-bit page numbers,
// so the copy ran past its end and corrupted the driver process's heap.)
// Null when the pool is exhausted (nothing is left taken).
ReadContext* NewReadContext(DeviceExtension* ext, kernel::Mdl* mdl,
                            uint32_t length, const usb::PipeInformation& pipe,
                            bool read) {
  KernelPort& port = *ext->driver->port;
  auto* ctx = static_cast<ReadContext*>(port.AllocateNonPaged(sizeof(ReadContext)));
  if (ctx == nullptr) return nullptr;
  *ctx = {nullptr, ext};
  ctx->urb = static_cast<usb::UrbBulkOrInterruptTransfer*>(
      AllocateUrb(port, sizeof(usb::UrbBulkOrInterruptTransfer)));
  if (ctx->urb == nullptr) {
    FreeReadContext(port, ctx);
    return nullptr;
  }
  usb::UrbBulkOrInterruptTransfer* urb = ctx->urb;
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = usb::kUrbFunctionBulkOrInterruptTransfer;
  urb->PipeHandle = pipe.PipeHandle;
  urb->TransferFlags = read ? kBulkFlagsIn : kBulkFlagsOut;
  urb->TransferBufferLength = length;
  urb->TransferBufferMDL = mdl;
  return ctx;
}

}  // namespace

// The request holds the pending-I/O count from its first look at the
// configuration to its completion, so removal never frees the interface
// record under a read being set up.
NtStatus DispatchReadWrite(kernel::DeviceObject* device, kernel::Irp* irp) {
  DeviceExtension* ext = ExtensionOf(device);
  KernelPort& port = *ext->driver->port;
  if (!EnterIo(ext)) return CompleteWith(port, irp, kStatusDeletePending);
  const kernel::StackLocation s = port.CurrentStack(irp);
  // Completed before the count is left, so removal never deletes the device
  // under a request it still holds.
  auto refuse = [&](NtStatus status) {
    const NtStatus result = CompleteWith(port, irp, status);
    LeaveIo(ext);
    return result;
  };
  usb::PipeInformation pipe;
  const NtStatus refused = ReadPipe(ext, s.file, &pipe);
  if (!NtSuccess(refused)) return refuse(refused);
  // A zero-length read comes without an MDL: it completes at once.
  if (s.length == 0) return refuse(kStatusSuccess);
  kernel::Mdl* mdl = port.RequestMdl(irp);
  if (mdl == nullptr) return refuse(kStatusInvalidParameter);
  const uint32_t length = port.MdlByteCount(mdl);
  if (length > kMaxTransferSize) return refuse(kStatusInvalidParameter);
  ReadContext* ctx =
      NewReadContext(ext, mdl, length, pipe, s.major == kernel::kIrpMjRead);
  if (ctx == nullptr) return refuse(kStatusInsufficientResources);
  port.SetNextInternalRequest(irp, IOCTL_INTERNAL_USB_SUBMIT_URB, ctx->urb);
  port.SetCompletion(irp, &ReadCompletion, ctx);
  port.MarkPending(irp);
  // The completion may run inside the call and give its count back: the
  // pipe reset after it needs a count of its own.
  kernel::LockedIncrement(&ext->pending_io);
  const NtStatus status = port.CallDriver(ext->lower_device, irp);
  if (!NtSuccess(status) && status != kStatusCancelled &&
      status != kStatusDeviceNotConnected)
    ResetPipe(ext, 0);
  LeaveIo(ext);
  return kStatusPending;
}

NtStatus BulkTransfer(DeviceExtension* ext, kernel::Irp* irp,
                      const kernel::StackLocation& s, uintptr_t* information) {
  KernelPort& port = *ext->driver->port;
  const auto* input = static_cast<const uint8_t*>(port.SystemBuffer(irp));
  usb::PipeInformation pipe;
  if (s.input_length < 4) {
    usb::PipeInformation any;
    return FindPipe(ext, 0, &any) == PipeLookup::kNoRecord
               ? kStatusUnsuccessful
               : kStatusInvalidParameter;
  }
  const PipeLookup lookup = FindPipe(ext, LoadLe32(input), &pipe);
  if (lookup != PipeLookup::kFound) return PipeLookupStatus(lookup);
  if (pipe.PipeType != usb::UsbdPipeType::kBulk &&
      pipe.PipeType != usb::UsbdPipeType::kInterrupt)
    return kStatusInvalidParameter;
  if (pipe.PipeHandle == nullptr) return kStatusUnsuccessful;
  if (s.output_length > pipe.MaximumTransferSize) return kStatusInvalidParameter;
  kernel::Mdl* mdl = port.RequestMdl(irp);
  if (s.output_length > 0 &&
      (mdl == nullptr || port.MdlByteCount(mdl) < s.output_length))
    return kStatusInvalidParameter;
  // The direction follows the endpoint, not the control code: what comes
  // in lands in the output, which IOCTL_BULK_WRITE's method leaves locked
  // for reading only.
  const bool in = (pipe.EndpointAddress & usb::kEndpointDirectionIn) != 0;
  const WritableOutput writable(port, irp, s.control_code,
                                s.output_length > 0 && in);
  if (!NtSuccess(writable.status())) return writable.status();
  auto* urb = static_cast<usb::UrbBulkOrInterruptTransfer*>(
      AllocateUrb(port, sizeof(usb::UrbBulkOrInterruptTransfer)));
  if (urb == nullptr) return kStatusNoMemory;
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = usb::kUrbFunctionBulkOrInterruptTransfer;
  urb->PipeHandle = pipe.PipeHandle;
  urb->TransferFlags = in ? kBulkFlagsIn : kBulkFlagsOut;
  urb->TransferBufferLength = s.output_length;
  urb->TransferBufferMDL = s.output_length == 0 ? nullptr
                           : in                 ? writable.mdl()
                                                : mdl;
  const NtStatus status = SubmitUrb(ext, &urb->Hdr);
  if (NtSuccess(status)) *information = urb->TransferBufferLength;
  port.FreePool(urb);
  return status;
}

}  // namespace vk::drv
