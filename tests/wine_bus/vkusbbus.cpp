// vkusbbus.sys: a root-enumerated virtual USB bus for the Windows kernel
// (Wine's in CI). It reports one child per plugged camera with the IDs a USB
// hub reports, answers the plug-and-play and power requests of a bus
// driver, and hands every internal USB request of the child's function
// driver to the camera program (vkbusctl.exe) through its control device:
// the program fetches requests with pending GetRequest calls and answers
// with Complete. A test component; it ships in no package.
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include "tests/wine_bus/bus_protocol.h"

namespace {

using namespace vk::winebus;

constexpr ULONG kPoolTag = 0x73756256;  // "Vbus"
constexpr size_t kMaxCancels = 64;

enum class Kind : ULONG { kControl, kBus, kChild };

struct Extension {
  Kind kind;
  ULONG port;  // children only
};

struct Child {
  PDEVICE_OBJECT pdo;  // null while nothing is plugged into the port
  bool present;        // reported to the plug-and-play manager
  bool started;
};

// The whole bus: one root-enumerated instance per machine.
struct Bus {
  KSPIN_LOCK lock;
  PDEVICE_OBJECT control;
  PDEVICE_OBJECT fdo;
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT root_pdo;
  bool started;
  Child children[kPorts];
  LIST_ENTRY queued;    // requests for the program, not yet fetched
  LIST_ENTRY in_flight; // fetched, waiting for their answer
  LIST_ENTRY getters;   // the program's pending GetRequest calls
  ULONG64 next_tag;
  ULONG64 cancels[kMaxCancels];  // tags whose cancellation is to be told
  size_t cancel_count;
};

Bus g_bus;

// A request's bookkeeping lives in the IRP's driver context while the bus
// owns it.
ULONG64 TagOf(PIRP irp) { return reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[0]); }
ULONG_PTR PortOf(PIRP irp) { return reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[1]); }
ULONG_PTR KindOf(PIRP irp) { return reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[2]); }
void Label(PIRP irp, ULONG64 tag, ULONG port, RequestKind kind) {
  irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(tag));
  irp->Tail.Overlay.DriverContext[1] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(port));
  irp->Tail.Overlay.DriverContext[2] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(kind));
}
PLIST_ENTRY LinkOf(PIRP irp) { return &irp->Tail.Overlay.ListEntry; }
PIRP IrpOf(PLIST_ENTRY link) { return CONTAINING_RECORD(link, IRP, Tail.Overlay.ListEntry); }

Extension* ExtensionOf(PDEVICE_OBJECT device) {
  return static_cast<Extension*>(device->DeviceExtension);
}

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

size_t WideLength(const wchar_t* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// A multi-string (or, with one entry, a string) from the pool, as the
// plug-and-play manager frees it.
PWCHAR PoolStrings(const wchar_t* const* strings, size_t count, bool multi) {
  size_t chars = multi ? 1 : 0;
  for (size_t i = 0; i < count; ++i) chars += WideLength(strings[i]) + 1;
  auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kPoolTag));
  if (out == nullptr) return nullptr;
  PWCHAR p = out;
  for (size_t i = 0; i < count; ++i) {
    const size_t n = WideLength(strings[i]);
    RtlCopyMemory(p, strings[i], n * sizeof(WCHAR));
    p += n;
    *p++ = 0;
  }
  if (multi) *p = 0;
  return out;
}

// ---- Requests between the function driver and the program ----

bool RemoveIfListed(PLIST_ENTRY list, PIRP irp) {
  for (PLIST_ENTRY e = list->Flink; e != list; e = e->Flink) {
    if (e == LinkOf(irp)) {
      RemoveEntryList(e);
      return true;
    }
  }
  return false;
}

PIRP FindInFlight(ULONG64 tag) {
  for (PLIST_ENTRY e = g_bus.in_flight.Flink; e != &g_bus.in_flight; e = e->Flink) {
    if (TagOf(IrpOf(e)) == tag) return IrpOf(e);
  }
  return nullptr;
}

// Takes the next pending GetRequest whose cancel routine has not begun.
// Called with the bus lock held.
PIRP TakeGetter() {
  while (!IsListEmpty(&g_bus.getters)) {
    PIRP getter = IrpOf(RemoveHeadList(&g_bus.getters));
    if (IoSetCancelRoutine(getter, nullptr) != nullptr) return getter;
    InitializeListHead(LinkOf(getter));  // its cancel routine completes it
  }
  return nullptr;
}

PUCHAR TransferBufferOf(struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer) {
  if (transfer->TransferBufferMDL != nullptr)
    return static_cast<PUCHAR>(
        MmGetSystemAddressForMdlSafe(transfer->TransferBufferMDL, NormalPagePriority));
  return static_cast<PUCHAR>(transfer->TransferBuffer);
}

// Functions whose URB starts with the control-transfer layout: pipe or
// reserved word, flags, length, buffer, MDL.
bool HasTransferBuffer(USHORT function) {
  switch (function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_ISOCH_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
      return true;
    default:
      return false;
  }
}

// Data the device receives: everything except transfers marked as IN and
// descriptor reads.
bool GoesOut(const URB* urb) {
  const USHORT function = urb->UrbHeader.Function;
  if (!HasTransferBuffer(function) || function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
    return false;
  return (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0;
}

void CancelGetter(PDEVICE_OBJECT, PIRP irp);

// Writes the request into the program's buffer. False when it does not fit
// (the request then fails).
bool FillRequest(PIRP request, PIRP getter, ULONG_PTR* written) {
  const PIO_STACK_LOCATION gs = IoGetCurrentIrpStackLocation(getter);
  const ULONG room = gs->Parameters.DeviceIoControl.OutputBufferLength;
  auto* out = static_cast<PUCHAR>(getter->AssociatedIrp.SystemBuffer);
  RequestHeader header = {};
  header.tag = TagOf(request);
  header.port = static_cast<uint32_t>(PortOf(request));
  header.kind = static_cast<RequestKind>(KindOf(request));
  URB* urb = nullptr;
  PUCHAR data = nullptr;
  if (header.kind == RequestKind::kUrb) {
    urb = static_cast<URB*>(IoGetCurrentIrpStackLocation(request)->Parameters.Others.Argument1);
    header.urb_length = urb->UrbHeader.Length;
    if (GoesOut(urb)) {
      header.data_length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      data = TransferBufferOf(&urb->UrbBulkOrInterruptTransfer);
      if (data == nullptr) header.data_length = 0;
    }
  }
  const ULONG needed = sizeof(header) + Padded(header.urb_length) + header.data_length;
  if (room < needed) return false;
  RtlCopyMemory(out, &header, sizeof(header));
  if (urb != nullptr) RtlCopyMemory(out + sizeof(header), urb, header.urb_length);
  if (data != nullptr)
    RtlCopyMemory(out + sizeof(header) + Padded(header.urb_length), data, header.data_length);
  *written = needed;
  return true;
}

// Hands queued requests and cancellations to waiting GetRequest calls.
// Called with the bus lock held at `irql`; releases it.
void Pump(KIRQL irql) {
  PIRP done_getters[8];
  ULONG_PTR done_lengths[8];
  PIRP failed[8];
  size_t done = 0, failures = 0;
  while (done < 8 && failures < 8 && (g_bus.cancel_count > 0 || !IsListEmpty(&g_bus.queued))) {
    PIRP getter = TakeGetter();
    if (getter == nullptr) break;
    if (g_bus.cancel_count > 0) {
      RequestHeader header = {};
      header.tag = g_bus.cancels[--g_bus.cancel_count];
      header.kind = RequestKind::kCancel;
      RtlCopyMemory(getter->AssociatedIrp.SystemBuffer, &header, sizeof(header));
      done_getters[done] = getter;
      done_lengths[done++] = sizeof(header);
      continue;
    }
    PIRP request = IrpOf(RemoveHeadList(&g_bus.queued));
    ULONG_PTR written = 0;
    if (!FillRequest(request, getter, &written)) {
      // Too large for the program's buffer: the request fails, the getter
      // waits for the next one.
      InsertHeadList(&g_bus.getters, LinkOf(getter));
      IoSetCancelRoutine(getter, CancelGetter);
      if (IoSetCancelRoutine(request, nullptr) != nullptr) {
        failed[failures++] = request;
      } else {
        InitializeListHead(LinkOf(request));
      }
      continue;
    }
    InsertTailList(&g_bus.in_flight, LinkOf(request));
    done_getters[done] = getter;
    done_lengths[done++] = written;
  }
  const bool more = g_bus.cancel_count > 0 || !IsListEmpty(&g_bus.queued);
  KeReleaseSpinLock(&g_bus.lock, irql);
  for (size_t i = 0; i < done; ++i) Finish(done_getters[i], STATUS_SUCCESS, done_lengths[i]);
  for (size_t i = 0; i < failures; ++i) Finish(failed[i], STATUS_INSUFFICIENT_RESOURCES);
  if (more && done + failures == 8) {
    KIRQL again;
    KeAcquireSpinLock(&g_bus.lock, &again);
    Pump(again);
  }
}

// A getter leaves the queue when the program closes or cancels.
void CancelGetter(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.lock, &irql);
  RemoveEntryList(LinkOf(irp));
  KeReleaseSpinLock(&g_bus.lock, irql);
  Finish(irp, STATUS_CANCELLED);
}

// A request not yet fetched completes at once; a fetched one is cancelled
// on the device, whose answer then completes it.
void CancelRequest(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.lock, &irql);
  if (RemoveIfListed(&g_bus.queued, irp)) {
    KeReleaseSpinLock(&g_bus.lock, irql);
    Finish(irp, STATUS_CANCELLED);
    return;
  }
  if (RemoveIfListed(&g_bus.in_flight, irp)) {
    // Still the bus's until answered: back on the list, without a cancel
    // routine, and the program is told.
    InsertTailList(&g_bus.in_flight, LinkOf(irp));
    if (g_bus.cancel_count < kMaxCancels) g_bus.cancels[g_bus.cancel_count++] = TagOf(irp);
  }
  Pump(irql);
}

NTSTATUS QueueRequest(PIRP irp, ULONG port, RequestKind kind) {
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.lock, &irql);
  if (!g_bus.children[port].present || g_bus.control == nullptr) {
    KeReleaseSpinLock(&g_bus.lock, irql);
    return Finish(irp, STATUS_DEVICE_NOT_CONNECTED);
  }
  Label(irp, ++g_bus.next_tag, port, kind);
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelRequest);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    KeReleaseSpinLock(&g_bus.lock, irql);
    Finish(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  InsertTailList(&g_bus.queued, LinkOf(irp));
  Pump(irql);
  return STATUS_PENDING;
}

// Fails every request of `port` (all ports when kPorts) that the bus holds,
// as a gone device's requests fail. Requests whose cancel routine already
// runs are left to it.
void FailPort(ULONG port) {
  LIST_ENTRY failing;
  InitializeListHead(&failing);
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.lock, &irql);
  PLIST_ENTRY lists[2] = {&g_bus.queued, &g_bus.in_flight};
  for (PLIST_ENTRY list : lists) {
    for (PLIST_ENTRY e = list->Flink; e != list;) {
      PIRP irp = IrpOf(e);
      e = e->Flink;
      if (port != kPorts && PortOf(irp) != port) continue;
      // A queued request whose cancel routine has begun stays listed: the
      // routine finds it there and completes it.
      if (IoSetCancelRoutine(irp, nullptr) == nullptr && list == &g_bus.queued) continue;
      RemoveEntryList(LinkOf(irp));
      InsertTailList(&failing, LinkOf(irp));
    }
  }
  KeReleaseSpinLock(&g_bus.lock, irql);
  while (!IsListEmpty(&failing)) {
    PIRP irp = IrpOf(RemoveHeadList(&failing));
    if (KindOf(irp) == static_cast<ULONG_PTR>(RequestKind::kUrb)) {
      auto* urb = static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
      urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    }
    Finish(irp, STATUS_DEVICE_NOT_CONNECTED);
  }
}

// The program's answer: the URB as the device left it (the function
// driver's own pointers kept) and the data the device sent.
NTSTATUS CompleteFromProgram(const UCHAR* in, ULONG length) {
  CompletionHeader header;
  if (length < sizeof(header)) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(&header, in, sizeof(header));
  if (length < sizeof(header) + Padded(header.urb_length) + static_cast<ULONG64>(header.data_length))
    return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.lock, &irql);
  PIRP irp = FindInFlight(header.tag);
  if (irp == nullptr) {
    KeReleaseSpinLock(&g_bus.lock, irql);
    return STATUS_NOT_FOUND;  // failed already, when its device left
  }
  RemoveEntryList(LinkOf(irp));
  IoSetCancelRoutine(irp, nullptr);
  KeReleaseSpinLock(&g_bus.lock, irql);

  if (KindOf(irp) == static_cast<ULONG_PTR>(RequestKind::kUrb)) {
    auto* urb = static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    const USHORT length_before = urb->UrbHeader.Length;
    const USHORT function = urb->UrbHeader.Function;
    if (header.urb_length != length_before) {
      urb->UrbHeader.Status = USBD_STATUS_INTERNAL_HC_ERROR;
      Finish(irp, STATUS_UNSUCCESSFUL);
      return STATUS_INVALID_PARAMETER;
    }
    const UCHAR* answer = in + sizeof(header);
    if (HasTransferBuffer(function)) {
      auto* t = &urb->UrbBulkOrInterruptTransfer;
      const ULONG room = t->TransferBufferLength;
      PUCHAR buffer = TransferBufferOf(t);
      PVOID saved_buffer = t->TransferBuffer;
      PMDL saved_mdl = t->TransferBufferMDL;
      struct _URB* saved_link = t->UrbLink;
      RtlCopyMemory(urb, answer, length_before);
      t->TransferBuffer = saved_buffer;
      t->TransferBufferMDL = saved_mdl;
      t->UrbLink = saved_link;
      if (t->TransferBufferLength > room) t->TransferBufferLength = room;
      if (!GoesOut(urb) && buffer != nullptr) {
        const ULONG n = header.data_length < room ? header.data_length : room;
        RtlCopyMemory(buffer, answer + Padded(header.urb_length), n);
      }
    } else if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
      PUSB_CONFIGURATION_DESCRIPTOR saved = urb->UrbSelectConfiguration.ConfigurationDescriptor;
      RtlCopyMemory(urb, answer, length_before);
      urb->UrbSelectConfiguration.ConfigurationDescriptor = saved;
    } else {
      RtlCopyMemory(urb, answer, length_before);
    }
    urb->UrbHeader.Length = length_before;
    urb->UrbHeader.Function = function;
  }
  Finish(irp, header.status);
  return STATUS_SUCCESS;
}

// ---- The child: a camera on a port ----

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
  const PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  const ULONG port = ExtensionOf(device)->port;
  Child& child = g_bus.children[port];
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR information = irp->IoStatus.Information;
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE:
      child.started = true;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      child.started = false;
      FailPort(port);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      child.started = false;
      FailPort(port);
      KIRQL irql;
      KeAcquireSpinLock(&g_bus.lock, &irql);
      // A camera still plugged keeps its object for the next enumeration;
      // an unplugged one's goes now.
      const bool gone = !child.present && child.pdo == device;
      if (gone) child.pdo = nullptr;
      KeReleaseSpinLock(&g_bus.lock, irql);
      Finish(irp, STATUS_SUCCESS);
      if (gone) IoDeleteDevice(device);
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID: {
      static const wchar_t* const kDeviceId[] = {L"USB\\VID_1A2B&PID_3C4D"};
      static const wchar_t* const kHardwareIds[] = {L"USB\\VID_1A2B&PID_3C4D&REV_0001",
                                                    L"USB\\VID_1A2B&PID_3C4D"};
      static const wchar_t* const kCompatibleIds[] = {
          L"USB\\Class_FF&SubClass_00&Prot_00", L"USB\\Class_FF&SubClass_00",
          L"USB\\Class_FF"};
      wchar_t instance[12] = L"VKBUS0";
      instance[5] = static_cast<wchar_t>(L'0' + port);
      const wchar_t* const kInstance[] = {instance};
      PWCHAR id = nullptr;
      switch (s->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: id = PoolStrings(kDeviceId, 1, false); break;
        case BusQueryHardwareIDs: id = PoolStrings(kHardwareIds, 2, true); break;
        case BusQueryCompatibleIDs: id = PoolStrings(kCompatibleIds, 3, true); break;
        case BusQueryInstanceID: id = PoolStrings(kInstance, 1, false); break;
        default: break;
      }
      if (id != nullptr) {
        status = STATUS_SUCCESS;
        information = reinterpret_cast<ULONG_PTR>(id);
      } else if (s->Parameters.QueryId.IdType <= BusQueryInstanceID) {
        status = STATUS_INSUFFICIENT_RESOURCES;
      }
      break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = s->Parameters.DeviceCapabilities.Capabilities;
      caps->Removable = TRUE;
      caps->SurpriseRemovalOK = TRUE;
      caps->UniqueID = FALSE;
      caps->Address = port + 1;
      caps->UINumber = port + 1;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      caps->SystemWake = PowerSystemUnspecified;
      caps->DeviceWake = PowerDeviceUnspecified;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (s->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        auto* relations = static_cast<PDEVICE_RELATIONS>(
            ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
        if (relations == nullptr) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        relations->Count = 1;
        relations->Objects[0] = device;
        ObReferenceObject(device);
        status = STATUS_SUCCESS;
        information = reinterpret_cast<ULONG_PTR>(relations);
      }
      break;
    default:
      break;  // not ours to answer: the status stays as it came
  }
  return Finish(irp, status, information);
}

NTSTATUS ChildInternal(PDEVICE_OBJECT device, PIRP irp) {
  const PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  const ULONG port = ExtensionOf(device)->port;
  switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      if (s->Parameters.Others.Argument1 == nullptr)
        return Finish(irp, STATUS_INVALID_PARAMETER);
      if (!g_bus.children[port].started) {
        static_cast<URB*>(s->Parameters.Others.Argument1)->UrbHeader.Status =
            USBD_STATUS_DEVICE_GONE;
        return Finish(irp, STATUS_DEVICE_NOT_CONNECTED);
      }
      return QueueRequest(irp, port, RequestKind::kUrb);
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return QueueRequest(irp, port, RequestKind::kReset);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* port_status = static_cast<PULONG>(s->Parameters.Others.Argument1);
      if (port_status == nullptr) return Finish(irp, STATUS_INVALID_PARAMETER);
      *port_status = g_bus.children[port].present ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
      return Finish(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      return QueueRequest(irp, port, RequestKind::kReset);
    default:
      return Finish(irp, STATUS_NOT_SUPPORTED);
  }
}

// ---- The bus's own device, above the root-enumerated PDO ----

NTSTATUS ForwardSynchronously(PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
        KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(g_bus.lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS PassDown(PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(g_bus.lower, irp);
}

NTSTATUS ReportChildren(PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.lock, &irql);
  ULONG count = 0;
  for (const Child& child : g_bus.children) count += child.present ? 1 : 0;
  const size_t bytes = sizeof(DEVICE_RELATIONS) + count * sizeof(PDEVICE_OBJECT);
  KeReleaseSpinLock(&g_bus.lock, irql);
  auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, kPoolTag));
  if (relations == nullptr) return Finish(irp, STATUS_INSUFFICIENT_RESOURCES);
  KeAcquireSpinLock(&g_bus.lock, &irql);
  relations->Count = 0;
  for (const Child& child : g_bus.children) {
    if (!child.present || child.pdo == nullptr || relations->Count == count) continue;
    ObReferenceObject(child.pdo);
    relations->Objects[relations->Count++] = child.pdo;
  }
  KeReleaseSpinLock(&g_bus.lock, irql);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return PassDown(irp);
}

NTSTATUS BusPnp(PIRP irp) {
  const PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      const NTSTATUS status = ForwardSynchronously(irp);
      if (NT_SUCCESS(status)) g_bus.started = true;
      return Finish(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (s->Parameters.QueryDeviceRelations.Type == BusRelations) return ReportChildren(irp);
      return PassDown(irp);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
      g_bus.started = false;
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(irp);
    case IRP_MN_REMOVE_DEVICE: {
      g_bus.started = false;
      FailPort(kPorts);
      irp->IoStatus.Status = STATUS_SUCCESS;
      const NTSTATUS status = PassDown(irp);
      for (Child& child : g_bus.children) {
        if (child.pdo != nullptr) IoDeleteDevice(child.pdo);
        child = Child{};
      }
      IoDetachDevice(g_bus.lower);
      IoDeleteDevice(g_bus.fdo);
      g_bus.fdo = g_bus.lower = g_bus.root_pdo = nullptr;
      return status;
    }
    default:
      return PassDown(irp);
  }
}

// ---- The control device, for the camera program ----

NTSTATUS Plug(ULONG port, PDEVICE_OBJECT driver_device) {
  if (port >= kPorts) return STATUS_INVALID_PARAMETER;
  if (!g_bus.started || g_bus.root_pdo == nullptr) return STATUS_DEVICE_NOT_READY;
  Child& child = g_bus.children[port];
  if (child.present) return STATUS_DEVICE_BUSY;
  if (child.pdo == nullptr) {
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status =
        IoCreateDevice(driver_device->DriverObject, sizeof(Extension), nullptr, FILE_DEVICE_USB,
                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = ExtensionOf(pdo);
    ext->kind = Kind::kChild;
    ext->port = port;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    child.pdo = pdo;
  }
  child.present = true;
  IoInvalidateDeviceRelations(g_bus.root_pdo, BusRelations);
  return STATUS_SUCCESS;
}

NTSTATUS Unplug(ULONG port) {
  if (port >= kPorts) return STATUS_INVALID_PARAMETER;
  Child& child = g_bus.children[port];
  if (!child.present) return STATUS_NO_SUCH_DEVICE;
  child.present = false;
  FailPort(port);
  if (g_bus.root_pdo != nullptr) IoInvalidateDeviceRelations(g_bus.root_pdo, BusRelations);
  return STATUS_SUCCESS;
}

NTSTATUS ControlRequest(PDEVICE_OBJECT device, PIRP irp) {
  const PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  const ULONG in_length = s->Parameters.DeviceIoControl.InputBufferLength;
  const auto* in = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  PortRequest port = {};
  switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case kIoctlPlug:
    case kIoctlUnplug:
      if (in_length < sizeof(port)) return Finish(irp, STATUS_INVALID_PARAMETER);
      RtlCopyMemory(&port, in, sizeof(port));
      return Finish(irp, s->Parameters.DeviceIoControl.IoControlCode == kIoctlPlug
                             ? Plug(port.port, device)
                             : Unplug(port.port));
    case kIoctlGetRequest: {
      if (s->Parameters.DeviceIoControl.OutputBufferLength < sizeof(RequestHeader))
        return Finish(irp, STATUS_BUFFER_TOO_SMALL);
      KIRQL irql;
      KeAcquireSpinLock(&g_bus.lock, &irql);
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelGetter);
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&g_bus.lock, irql);
        Finish(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
      }
      InsertTailList(&g_bus.getters, LinkOf(irp));
      Pump(irql);
      return STATUS_PENDING;
    }
    case kIoctlComplete:
      return Finish(irp, CompleteFromProgram(in, in_length));
    default:
      return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// ---- Dispatch ----

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  const PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  switch (ExtensionOf(device)->kind) {
    case Kind::kControl:
      switch (s->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
          return Finish(irp, STATUS_SUCCESS);
        case IRP_MJ_CLEANUP: {
          // The program has gone: its cameras leave with it.
          for (ULONG port = 0; port < kPorts; ++port) {
            if (g_bus.children[port].present) Unplug(port);
          }
          return Finish(irp, STATUS_SUCCESS);
        }
        case IRP_MJ_DEVICE_CONTROL:
          return ControlRequest(device, irp);
        default:
          return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
      }
    case Kind::kBus:
      switch (s->MajorFunction) {
        case IRP_MJ_PNP:
          return BusPnp(irp);
        case IRP_MJ_POWER:
          PoStartNextPowerIrp(irp);
          IoSkipCurrentIrpStackLocation(irp);
          return PoCallDriver(g_bus.lower, irp);
        default:
          return PassDown(irp);
      }
    case Kind::kChild:
      switch (s->MajorFunction) {
        case IRP_MJ_PNP:
          return ChildPnp(device, irp);
        case IRP_MJ_POWER: {
          PoStartNextPowerIrp(irp);
          NTSTATUS status = irp->IoStatus.Status;
          if (s->MinorFunction == IRP_MN_SET_POWER || s->MinorFunction == IRP_MN_QUERY_POWER)
            status = STATUS_SUCCESS;
          return Finish(irp, status);
        }
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
          return ChildInternal(device, irp);
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
          return Finish(irp, STATUS_SUCCESS);
        default:
          return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
      }
  }
  return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (g_bus.fdo != nullptr) return STATUS_DEVICE_ALREADY_ATTACHED;  // one bus per machine
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  ExtensionOf(fdo)->kind = Kind::kBus;
  g_bus.lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (g_bus.lower == nullptr) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  g_bus.fdo = fdo;
  g_bus.root_pdo = pdo;
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, kControlLinkName);
  IoDeleteSymbolicLink(&link);
  if (g_bus.control != nullptr) IoDeleteDevice(g_bus.control);
  g_bus.control = nullptr;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  KeInitializeSpinLock(&g_bus.lock);
  InitializeListHead(&g_bus.queued);
  InitializeListHead(&g_bus.in_flight);
  InitializeListHead(&g_bus.getters);
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
    driver->MajorFunction[major] = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;

  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, kControlDeviceName);
  RtlInitUnicodeString(&link, kControlLinkName);
  PDEVICE_OBJECT control = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &control);
  if (!NT_SUCCESS(status)) return status;
  ExtensionOf(control)->kind = Kind::kControl;
  control->Flags |= DO_BUFFERED_IO;
  control->Flags &= ~DO_DEVICE_INITIALIZING;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(control);
    return status;
  }
  g_bus.control = control;
  return STATUS_SUCCESS;
}
