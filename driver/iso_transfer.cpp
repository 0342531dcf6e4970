// Isochronous transfers: a synchronous transfer of a whole packet count with
// t transfers of n packets kept in flight, and continuous streaming into the
// camera's data and record rings. Completion routines run at dispatch level
// and re-issue their slot's request; nothing is allocated on that path.
#include "common/byte_order.h"
#include "common/control_codes.h"
#include "common/wire_blocks.h"
#include "driver/driver.h"

namespace vk::drv {

struct IsoSlot {
  volatile int32_t state;  // SlotState: who takes the slot's next step
  uint32_t first_packet;
  IsoContext* ctx;
  usb::UrbIsochTransfer* urb;
  kernel::Irp* irp;
  kernel::Event done;
};

struct IsoContext {
  DeviceExtension* ext;
  usb::PipeInformation pipe;
  uint32_t packet_size;
  uint32_t packet_count;
  uint32_t n;                   // packets per transfer
  uint32_t t;                   // transfers in flight
  uint8_t* data;                // data area (synchronous) or streaming buffer
  uint8_t* records;             // packet-record area (synchronous)
  volatile int32_t live;        // transfers still running (stream)
  volatile int32_t references;  // the stream's own and its readers'
  StreamRing* data_ring;
  StreamRing* record_ring;
  IsoSlot* slots;
  int8_t stack_size;
  bool streaming;
};

namespace {

using kernel::KernelPort;

constexpr uint32_t kRecordBytes = sizeof(usb::IsoPacketDescriptor);

KernelPort& PortOf(IsoContext* ctx) { return *ctx->ext->driver->port; }

// The URB for the slot's current slice of packets (zeroed and filled anew).
void BuildIsoUrb(IsoSlot* slot, uint8_t* slice) {
  IsoContext* ctx = slot->ctx;
  usb::UrbIsochTransfer* urb = slot->urb;
  const size_t size = usb::IsochUrbSize(ctx->n);
  __builtin_memset(urb, 0, size);
  urb->Hdr.Length = static_cast<uint16_t>(size);
  urb->Hdr.Function = usb::kUrbFunctionIsochTransfer;
  urb->PipeHandle = ctx->pipe.PipeHandle;
  urb->TransferFlags =
      usb::kUsbdStartIsoTransferAsap | usb::kUsbdShortTransferOk;
  if (ctx->pipe.EndpointAddress & usb::kEndpointDirectionIn)
    urb->TransferFlags |= usb::kUsbdTransferDirectionIn;
  urb->TransferBufferLength = ctx->n * ctx->packet_size;
  urb->TransferBuffer = slice;
  urb->NumberOfPackets = ctx->n;
  for (uint32_t j = 0; j < ctx->n; ++j) {
    urb->IsoPacket[j].Offset = j * ctx->packet_size;
    urb->IsoPacket[j].Length = ctx->packet_size;
  }
}

// A lower driver may complete a request inside IoCallDriver (an unplugged
// camera fails every URB at once). A completion that finds its slot still
// being sent hands the next step to the sender, whose loop takes it: the
// re-sends of a slot never nest, whatever the lower driver does.
enum SlotState : int32_t { kIdle, kSending, kResend, kEnded };

// True when the slot's sender is inside its call and takes `step` on.
bool HandToSender(IsoSlot* slot, SlotState step) {
  int32_t sending = kSending;
  return __atomic_compare_exchange_n(&slot->state, &sending, step, false,
                                     __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

void EndSlot(IsoSlot* slot);

// Sends the slot's request until a completion outside the call takes over.
// Once the call has returned with the request still out, neither the slot
// nor its context may be touched: its completion may have freed them.
void SendSlot(IsoSlot* slot, kernel::CompletionRoutine completion) {
  IsoContext* ctx = slot->ctx;
  KernelPort& port = PortOf(ctx);
  for (;;) {
    port.InitializeIrp(slot->irp, ctx->stack_size);
    port.SetNextInternalRequest(slot->irp, IOCTL_INTERNAL_USB_SUBMIT_URB,
                                slot->urb);
    port.SetCompletion(slot->irp, completion, slot);
    __atomic_store_n(&slot->state, kSending, __ATOMIC_RELEASE);
    port.CallDriver(ctx->ext->lower_device, slot->irp);
    const int32_t next =
        __atomic_exchange_n(&slot->state, kIdle, __ATOMIC_ACQ_REL);
    if (next == kResend) continue;
    if (next == kEnded) EndSlot(slot);
    return;
  }
}

void FreeSlots(IsoContext* ctx) {
  KernelPort& port = PortOf(ctx);
  if (ctx->slots == nullptr) return;
  for (uint32_t i = 0; i < ctx->t; ++i) {
    if (ctx->slots[i].urb) port.FreePool(ctx->slots[i].urb);
    if (ctx->slots[i].irp) port.FreeIrp(ctx->slots[i].irp);
  }
  port.FreePool(ctx->slots);
  ctx->slots = nullptr;
}

// Allocates the t slots with their URBs and requests; false when the pool
// is exhausted (what was taken is given back).
bool AllocateSlots(IsoContext* ctx) {
  KernelPort& port = PortOf(ctx);
  ctx->stack_size =
      static_cast<int8_t>(port.StackSize(ctx->ext->lower_device) + 1);
  const size_t bytes = sizeof(IsoSlot) * ctx->t;
  ctx->slots = static_cast<IsoSlot*>(port.AllocateNonPaged(bytes));
  if (ctx->slots == nullptr) return false;
  __builtin_memset(ctx->slots, 0, bytes);
  for (uint32_t i = 0; i < ctx->t; ++i) {
    IsoSlot& slot = ctx->slots[i];
    slot.ctx = ctx;
    slot.first_packet = i * ctx->n;
    slot.urb = static_cast<usb::UrbIsochTransfer*>(
        port.AllocateNonPaged(usb::IsochUrbSize(ctx->n)));
    slot.irp = port.AllocateIrp(ctx->stack_size);
    if (slot.urb == nullptr || slot.irp == nullptr) {
      FreeSlots(ctx);
      return false;
    }
    port.InitializeEvent(&slot.done, true, false);
  }
  return true;
}

// The isochronous pipe named by the request block, checked.
NtStatus IsoPipe(DeviceExtension* ext, const IsoTransferRequest& r,
                 usb::PipeInformation* pipe) {
  const PipeLookup lookup = FindPipe(ext, r.pipe_index, pipe);
  if (lookup != PipeLookup::kFound) return PipeLookupStatus(lookup);
  if (pipe->PipeType != usb::UsbdPipeType::kIsochronous)
    return kStatusInvalidParameter;
  return pipe->PipeHandle == nullptr ? kStatusUnsuccessful : kStatusSuccess;
}

bool ReadBlock(KernelPort& port, kernel::Irp* irp,
               const kernel::StackLocation& s, IsoTransferRequest* r) {
  return Decode(static_cast<const uint8_t*>(port.SystemBuffer(irp)),
                s.input_length < sizeof(*r) ? s.input_length : sizeof(*r), r);
}

IsoContext* NewContext(DeviceExtension* ext, const IsoTransferRequest& r,
                       const usb::PipeInformation& pipe) {
  KernelPort& port = *ext->driver->port;
  auto* ctx =
      static_cast<IsoContext*>(port.AllocateNonPaged(sizeof(IsoContext)));
  if (ctx == nullptr) return nullptr;
  __builtin_memset(ctx, 0, sizeof(*ctx));
  ctx->ext = ext;
  ctx->pipe = pipe;
  ctx->packet_size = r.packet_size;
  ctx->packet_count = r.packet_count;
  ctx->n = r.packets_per_transfer;
  ctx->t = r.transfers_in_flight;
  return ctx;
}

// ---- Synchronous transfer ----

// The slot's last pass is done: its request and URB go, and the dispatch
// waiting for it goes on.
void EndSyncSlot(IsoSlot* slot) {
  KernelPort& port = PortOf(slot->ctx);
  port.FreeIrp(slot->irp);
  port.FreePool(slot->urb);
  slot->irp = nullptr;
  slot->urb = nullptr;
  port.SetEvent(&slot->done);
}

NtStatus SlotCompletion(kernel::DeviceObject*, kernel::Irp*, void* context) {
  auto* slot = static_cast<IsoSlot*>(context);
  IsoContext* ctx = slot->ctx;
  __builtin_memcpy(ctx->records + size_t{slot->first_packet} * kRecordBytes,
                   slot->urb->IsoPacket, size_t{ctx->n} * kRecordBytes);
  slot->first_packet += ctx->t * ctx->n;
  if (slot->first_packet >= ctx->packet_count) {
    if (!HandToSender(slot, kEnded)) EndSyncSlot(slot);
    return kStatusMoreProcessingRequired;
  }
  BuildIsoUrb(slot, ctx->data + size_t{slot->first_packet} * ctx->packet_size);
  if (!HandToSender(slot, kResend)) SendSlot(slot, &SlotCompletion);
  return kStatusMoreProcessingRequired;
}

// ---- Streaming ----

void ReleaseStream(IsoContext* ctx) {
  if (kernel::LockedDecrement(&ctx->references) != 0) return;
  KernelPort& port = PortOf(ctx);
  FreeStreamRing(port, ctx->data_ring);
  FreeStreamRing(port, ctx->record_ring);
  if (ctx->data) port.FreePool(ctx->data);
  FreeSlots(ctx);
  port.FreePool(ctx);
}

// The last transfer of a stream has ended: the rings leave the camera.
void RetireStream(IsoContext* ctx) {
  DeviceExtension* ext = ctx->ext;
  KernelPort& port = PortOf(ctx);
  const kernel::Irql irql = port.AcquireSpinLock(&ext->stream_lock);
  ext->stream = nullptr;
  ext->data_ring = nullptr;
  ext->record_ring = nullptr;
  port.ReleaseSpinLock(&ext->stream_lock, irql);
  ReleaseStream(ctx);
  LeaveIo(ext);
}

NtStatus StreamCompletion(kernel::DeviceObject*, kernel::Irp* irp,
                          void* context) {
  auto* slot = static_cast<IsoSlot*>(context);
  IsoContext* ctx = slot->ctx;
  DeviceExtension* ext = ctx->ext;
  KernelPort& port = PortOf(ctx);
  uint8_t* slice =
      ctx->data + size_t{static_cast<uint32_t>(slot - ctx->slots)} * ctx->n *
                      ctx->packet_size;
  RingAppend(port, ctx->record_ring,
             reinterpret_cast<const uint8_t*>(slot->urb->IsoPacket),
             ctx->n * kRecordBytes);
  RingAppend(port, ctx->data_ring, slice, ctx->n * ctx->packet_size);
  if (!NtSuccess(port.Status(irp).status) || kernel::LoadByte(&ext->iso_stop) ||
      kernel::LoadByte(&ext->removing)) {
    if (!HandToSender(slot, kEnded)) EndSlot(slot);
    return kStatusMoreProcessingRequired;
  }
  BuildIsoUrb(slot, slice);
  if (!HandToSender(slot, kResend)) SendSlot(slot, &StreamCompletion);
  return kStatusMoreProcessingRequired;
}

void EndSlot(IsoSlot* slot) {
  IsoContext* ctx = slot->ctx;
  if (!ctx->streaming) {
    EndSyncSlot(slot);
  } else if (kernel::LockedDecrement(&ctx->live) == 0) {
    RetireStream(ctx);
  }
}

// 64-bit products, so no length can wrap.
uint64_t Product(uint64_t a, uint64_t b) { return a * b; }

// The request block and the isochronous pipe it names, both checked.
NtStatus ReadIsoRequest(DeviceExtension* ext, kernel::Irp* irp,
                        const kernel::StackLocation& s, IsoTransferRequest* r,
                        usb::PipeInformation* pipe) {
  if (!ReadBlock(*ext->driver->port, irp, s, r)) return kStatusInvalidParameter;
  return IsoPipe(ext, *r, pipe);
}

// Every slot's first transfer, built and sent down in slot order. Once the
// last one is sent, every transfer may have ended and a stream's context
// be gone: nothing of it is read after that send.
void LaunchSlots(IsoContext* ctx, kernel::CompletionRoutine completion) {
  const uint32_t t = ctx->t;
  IsoSlot* slots = ctx->slots;
  for (uint32_t i = 0; i < t; ++i)
    BuildIsoUrb(&slots[i], ctx->data + Product(i * ctx->n, ctx->packet_size));
  for (uint32_t i = 0; i < t; ++i) SendSlot(&slots[i], completion);
}

}  // namespace

NtStatus IsoTransfer(DeviceExtension* ext, kernel::Irp* irp,
                     const kernel::StackLocation& s) {
  KernelPort& port = *ext->driver->port;
  IsoTransferRequest r;
  usb::PipeInformation pipe;
  const NtStatus refused = ReadIsoRequest(ext, irp, s, &r, &pipe);
  if (!NtSuccess(refused)) return refused;
  const uint64_t per_pass =
      Product(r.packets_per_transfer, r.transfers_in_flight);
  // A packet count of 0 would pass every length check and still move t
  // transfers of n packets past the caller's buffer.
  if (per_pass == 0 || r.packet_count == 0 || r.packet_count % per_pass != 0 ||
      Product(r.packets_per_transfer, r.packet_size) > kMaxTransferSize)
    return kStatusInvalidParameter;
  kernel::Mdl* mdl = port.RequestMdl(irp);
  const uint64_t needed =
      Product(r.packet_count, uint64_t{r.packet_size} + kRecordBytes);
  if (mdl == nullptr || s.output_length < needed ||
      port.MdlByteCount(mdl) < needed)
    return kStatusUnsuccessful;
  // The packet records (and, from an IN pipe, the data) land in the
  // output, which IOCTL_ISO_WRITE's method leaves locked for reading only.
  const WritableOutput writable(port, irp, s.control_code);
  if (!NtSuccess(writable.status())) return writable.status();
  auto* area = static_cast<uint8_t*>(port.MapMdl(writable.mdl()));
  IsoContext* ctx = area ? NewContext(ext, r, pipe) : nullptr;
  if (ctx == nullptr) return kStatusInsufficientResources;
  ctx->data = area;
  ctx->records = area + Product(r.packet_count, r.packet_size);
  if (!AllocateSlots(ctx)) {
    port.FreePool(ctx);
    return kStatusInsufficientResources;
  }
  LaunchSlots(ctx, &SlotCompletion);
  for (uint32_t i = 0; i < ctx->t; ++i) port.WaitForEvent(&ctx->slots[i].done);
  FreeSlots(ctx);
  port.FreePool(ctx);
  return kStatusSuccess;
}

NtStatus StartIsoStream(DeviceExtension* ext, kernel::Irp* irp,
                        const kernel::StackLocation& s) {
  KernelPort& port = *ext->driver->port;
  IsoTransferRequest r;
  usb::PipeInformation pipe;
  const NtStatus refused = ReadIsoRequest(ext, irp, s, &r, &pipe);
  if (!NtSuccess(refused)) return refused;
  const uint64_t buffer = Product(
      Product(r.packets_per_transfer, r.transfers_in_flight), r.packet_size);
  const uint64_t ring = Product(r.packet_count, r.packet_size);
  const uint64_t records = Product(r.packet_count, kRecordBytes);
  // Nothing of size 0 is allocated: every count and size must be nonzero.
  if (r.packets_per_transfer == 0 || r.transfers_in_flight == 0 ||
      r.packet_size == 0 || r.packet_count == 0 ||
      buffer > kMaxTransferSize * uint64_t{8} || ring > 0x7FFFFFFF ||
      records > 0x7FFFFFFF ||
      Product(r.packets_per_transfer, r.packet_size) > kMaxTransferSize)
    return kStatusInvalidParameter;
  {
    const kernel::Irql irql = port.AcquireSpinLock(&ext->stream_lock);
    const bool running = ext->stream != nullptr;
    port.ReleaseSpinLock(&ext->stream_lock, irql);
    if (running) return kStatusInvalidDeviceState;  // one stream per camera
  }
  IsoContext* ctx = NewContext(ext, r, pipe);
  if (ctx == nullptr) return kStatusNoMemory;
  ctx->references = 1;
  ctx->streaming = true;
  ctx->live = static_cast<int32_t>(r.transfers_in_flight);
  ctx->data =
      static_cast<uint8_t*>(port.AllocateNonPaged(static_cast<size_t>(buffer)));
  ctx->data_ring = NewStreamRing(port, static_cast<uint32_t>(ring));
  ctx->record_ring = NewStreamRing(port, static_cast<uint32_t>(records));
  if (ctx->data == nullptr || ctx->data_ring == nullptr ||
      ctx->record_ring == nullptr || !AllocateSlots(ctx)) {
    ReleaseStream(ctx);
    return kStatusNoMemory;
  }
  // The stream holds the pending-I/O count while it runs, so removal waits
  // for its last transfer; once removal has begun no stream starts.
  if (!EnterIo(ext)) {
    ReleaseStream(ctx);
    return kStatusDeletePending;
  }
  {
    const kernel::Irql irql = port.AcquireSpinLock(&ext->stream_lock);
    const bool raced = ext->stream != nullptr;
    if (!raced) {
      ext->stream = ctx;
      ext->data_ring = ctx->data_ring;
      ext->record_ring = ctx->record_ring;
    }
    port.ReleaseSpinLock(&ext->stream_lock, irql);
    if (raced) {
      ReleaseStream(ctx);
      LeaveIo(ext);
      return kStatusInvalidDeviceState;
    }
  }
  kernel::StoreByte(&ext->iso_stop, 0);
  LaunchSlots(ctx, &StreamCompletion);
  return kStatusSuccess;
}

NtStatus ReadIsoBuffer(DeviceExtension* ext, kernel::Irp* irp,
                       const kernel::StackLocation& s, uintptr_t* information) {
  KernelPort& port = *ext->driver->port;
  IsoTransferRequest r;
  if (s.input_length != sizeof(r) || !ReadBlock(port, irp, s, &r))
    return kStatusInvalidParameter;
  const uint64_t data_bytes = Product(r.packet_count, r.packet_size);
  const uint64_t expected =
      Product(r.packet_count, uint64_t{r.packet_size} + kRecordBytes);
  if (s.output_length != expected || r.packet_size == 0)
    return kStatusInvalidParameter;
  kernel::Irql irql = port.AcquireSpinLock(&ext->stream_lock);
  IsoContext* ctx = ext->stream;
  if (ctx != nullptr) kernel::LockedIncrement(&ctx->references);
  port.ReleaseSpinLock(&ext->stream_lock, irql);
  if (ctx == nullptr) return kStatusUnsuccessful;
  kernel::Mdl* mdl = port.RequestMdl(irp);
  auto* out = mdl && port.MdlByteCount(mdl) >= expected
                  ? static_cast<uint8_t*>(port.MapMdl(mdl))
                  : nullptr;
  NtStatus status = kStatusInsufficientResources;
  if (out != nullptr) {
    const uint32_t d =
        RingTake(port, ctx->data_ring, out, static_cast<uint32_t>(data_bytes));
    const uint32_t records = RingTake(port, ctx->record_ring, out + d,
                                      d / r.packet_size * kRecordBytes);
    *information = uintptr_t{d} + records;
    status = kStatusSuccess;
  }
  ReleaseStream(ctx);
  return status;
}

}  // namespace vk::drv
