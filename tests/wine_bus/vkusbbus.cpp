// vkusbbus.sys: a root-enumerated virtual USB bus for Wine's kernel. It
// reports one child per plugged camera with the IDs a USB hub reports,
// answers the plug-and-play and power requests of a bus driver, and runs
// every internal USB request of the child's function driver on the
// simulated camera in vkbuscam.dll. vkbusctl.exe plugs and unplugs cameras
// through the bus's control device. A test component; it ships in no
// package.
//
// The cameras run inside the driver's process rather than in a user-mode
// program that fetches each URB: Wine dispatches every request of a driver
// process on one thread, so a function driver that waits for a URB inside
// a dispatch routine (as vku2cam does, at passive level, as Windows allows)
// would block the very request that fetches the URB.
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include "tests/wine_bus/bus_protocol.h"


namespace {

using namespace vk::winebus;

constexpr ULONG kPoolTag = 0x73756256;  // "Vbus"

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
};

Bus g_bus;

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

// ---- Requests of the function driver, run by the camera library ----

struct CameraLibrary {
  VkBusCamPlugFn plug;
  VkBusCamUnplugFn unplug;
  VkBusCamSubmitFn submit;
  VkBusCamCancelFn cancel;
  VkBusCamResetPortFn reset_port;
};
CameraLibrary g_camera;

// A request's bookkeeping while the camera has it, in the IRP's driver
// context: the URB's own MDL and buffer (the camera sees the MDL's system
// address instead), the port, and the cancel handshake.
enum : ULONG_PTR { kSubmitted = 0, kCompletionWaits = 1, kCancelDone = 2 };
PVOID& SavedMdl(PIRP irp) { return irp->Tail.Overlay.DriverContext[0]; }
PVOID& SavedBuffer(PIRP irp) { return irp->Tail.Overlay.DriverContext[1]; }
ULONG PortOf(PIRP irp) {
  return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[2]));
}
ULONG_PTR StateOf(PIRP irp) {
  return reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[3]) & 0xFF;
}
NTSTATUS SavedStatus(PIRP irp) {
  return static_cast<NTSTATUS>(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[3]) >> 8);
}
void SetState(PIRP irp, ULONG_PTR state, NTSTATUS status = 0) {
  irp->Tail.Overlay.DriverContext[3] = reinterpret_cast<PVOID>(
      (static_cast<ULONG_PTR>(static_cast<ULONG>(status)) << 8) | state);
}
URB* UrbOf(PIRP irp) {
  return static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
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

void FinishUrb(PIRP irp, NTSTATUS status) {
  URB* urb = UrbOf(irp);
  if (HasTransferBuffer(urb->UrbHeader.Function) && SavedMdl(irp) != nullptr) {
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = static_cast<PMDL>(SavedMdl(irp));
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = SavedBuffer(irp);
  }
  Finish(irp, status);
}

// The camera's answer. While the request's cancel routine runs, the
// routine completes it instead, once the camera has let go.
void UrbDone(void* context, int32_t status) {
  PIRP irp = static_cast<PIRP>(context);
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.lock, &irql);
  if (IoSetCancelRoutine(irp, nullptr) == nullptr && irp->Cancel && StateOf(irp) != kCancelDone) {
    SetState(irp, kCompletionWaits, status);
    KeReleaseSpinLock(&g_bus.lock, irql);
    return;
  }
  KeReleaseSpinLock(&g_bus.lock, irql);
  FinishUrb(irp, status);
}

void CancelUrb(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  g_camera.cancel(PortOf(irp), UrbOf(irp));
  KIRQL irql;
  KeAcquireSpinLock(&g_bus.lock, &irql);
  const bool answered = StateOf(irp) == kCompletionWaits;
  if (!answered) SetState(irp, kCancelDone);
  KeReleaseSpinLock(&g_bus.lock, irql);
  if (answered) FinishUrb(irp, SavedStatus(irp));
}

NTSTATUS SubmitUrb(PIRP irp, ULONG port) {
  URB* urb = UrbOf(irp);
  SavedMdl(irp) = nullptr;
  SavedBuffer(irp) = nullptr;
  irp->Tail.Overlay.DriverContext[2] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(port));
  SetState(irp, kSubmitted);
  if (HasTransferBuffer(urb->UrbHeader.Function) &&
      urb->UrbBulkOrInterruptTransfer.TransferBufferMDL != nullptr) {
    auto* t = &urb->UrbBulkOrInterruptTransfer;
    // Wine keeps every buffer in the driver process's one address space and
    // maps nothing: a buffer not yet mapped is used where it is.
    PVOID mapped = (t->TransferBufferMDL->MdlFlags &
                    (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
                       ? t->TransferBufferMDL->MappedSystemVa
                       : MmGetMdlVirtualAddress(t->TransferBufferMDL);
    if (mapped == nullptr) {
      urb->UrbHeader.Status = USBD_STATUS_INSUFFICIENT_RESOURCES;
      return Finish(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    SavedMdl(irp) = t->TransferBufferMDL;
    SavedBuffer(irp) = t->TransferBuffer;
    t->TransferBuffer = mapped;
    t->TransferBufferMDL = nullptr;
  }
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelUrb);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    FinishUrb(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  g_camera.submit(port, urb, UrbDone, irp);
  return STATUS_PENDING;
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
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      child.started = false;
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
      return SubmitUrb(irp, port);
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      return Finish(irp, g_camera.reset_port(port));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* port_status = static_cast<PULONG>(s->Parameters.Others.Argument1);
      if (port_status == nullptr) return Finish(irp, STATUS_INVALID_PARAMETER);
      *port_status = g_bus.children[port].present ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
      return Finish(irp, STATUS_SUCCESS);
    }
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
      for (ULONG port = 0; port < kPorts; ++port) g_camera.unplug(port);
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

NTSTATUS Plug(const PortRequest& request, PDEVICE_OBJECT driver_device) {
  const ULONG port = request.port;
  if (port >= kPorts) return STATUS_INVALID_PARAMETER;
  if (!g_bus.started || g_bus.root_pdo == nullptr) return STATUS_DEVICE_NOT_READY;
  Child& child = g_bus.children[port];
  if (child.present) return STATUS_DEVICE_BUSY;
  const NTSTATUS plugged = g_camera.plug(port, request.noise);
  if (!NT_SUCCESS(plugged)) return plugged;
  if (child.pdo == nullptr) {
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status =
        IoCreateDevice(driver_device->DriverObject, sizeof(Extension), nullptr, FILE_DEVICE_USB,
                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
      g_camera.unplug(port);
      return status;
    }
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
  // The camera leaves the wire first: what it was doing fails as on a real
  // unplug, then the plug-and-play manager hears of it.
  g_camera.unplug(port);
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
                             ? Plug(port, device)
                             : Unplug(port.port));
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
        case IRP_MJ_CLEANUP:
          return Finish(irp, STATUS_SUCCESS);
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

// The cameras live in a library beside the driver: Wine runs kernel drivers
// in an ordinary process, so the driver loads it as any program would.
//
// Its loader is ntdll's, found through the process's module list: a driver
// that imported ntdll or kernel32 would be taken by Wine's loader for a
// Win32 library, which has DriverEntry called as its DllMain.
using LdrLoadDllFn = NTSTATUS(NTAPI*)(PWSTR, PULONG, PUNICODE_STRING, PVOID*);
using LdrGetProcedureAddressFn = NTSTATUS(NTAPI*)(PVOID, PANSI_STRING, ULONG, PVOID*);

template <typename T>
T At(const void* base, size_t offset) {
  T value;
  RtlCopyMemory(&value, static_cast<const UCHAR*>(base) + offset, sizeof(value));
  return value;
}

// The base of the module `name` in this process (x64 TEB, PEB and loader
// list layouts).
const UCHAR* ModuleBase(const wchar_t* name) {
  const auto* peb = reinterpret_cast<const UCHAR*>(__readgsqword(0x60));
  const auto* ldr = At<const UCHAR*>(peb, 0x18);
  const auto* head = reinterpret_cast<const LIST_ENTRY*>(ldr + 0x10);
  UNICODE_STRING wanted;
  RtlInitUnicodeString(&wanted, name);
  for (const LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
    const auto* entry = reinterpret_cast<const UCHAR*>(e);
    UNICODE_STRING base_name = At<UNICODE_STRING>(entry, 0x58);
    if (RtlEqualUnicodeString(&base_name, &wanted, TRUE)) return At<const UCHAR*>(entry, 0x30);
  }
  return nullptr;
}

// An export of a loaded image, by name (PE32+ export directory).
void* ExportOf(const UCHAR* image, const char* name) {
  const ULONG nt = At<ULONG>(image, 0x3C);
  const ULONG directory = At<ULONG>(image, nt + 0x88);
  if (directory == 0) return nullptr;
  const UCHAR* exports = image + directory;
  const ULONG count = At<ULONG>(exports, 0x18);
  const UCHAR* functions = image + At<ULONG>(exports, 0x1C);
  const UCHAR* names = image + At<ULONG>(exports, 0x20);
  const UCHAR* ordinals = image + At<ULONG>(exports, 0x24);
  for (ULONG i = 0; i < count; ++i) {
    const char* candidate = reinterpret_cast<const char*>(image + At<ULONG>(names, i * 4));
    size_t n = 0;
    while (name[n] != 0 && candidate[n] == name[n]) ++n;
    if (name[n] != 0 || candidate[n] != 0) continue;
    const USHORT ordinal = At<USHORT>(ordinals, i * 2);
    return const_cast<UCHAR*>(image) + At<ULONG>(functions, ordinal * 4);
  }
  return nullptr;
}

bool LoadCameraLibrary() {
  const UCHAR* ntdll = ModuleBase(L"ntdll.dll");
  if (ntdll == nullptr) return false;
  auto LdrLoadDll = reinterpret_cast<LdrLoadDllFn>(ExportOf(ntdll, "LdrLoadDll"));
  auto LdrGetProcedureAddress =
      reinterpret_cast<LdrGetProcedureAddressFn>(ExportOf(ntdll, "LdrGetProcedureAddress"));
  if (LdrLoadDll == nullptr || LdrGetProcedureAddress == nullptr) return false;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kCameraLibrary);
  PVOID library = nullptr;
  if (!NT_SUCCESS(LdrLoadDll(nullptr, nullptr, &name, &library))) return false;
  auto find = [library, LdrGetProcedureAddress](const char* routine) {
    ANSI_STRING text;
    RtlInitAnsiString(&text, routine);
    PVOID address = nullptr;
    return NT_SUCCESS(LdrGetProcedureAddress(library, &text, 0, &address)) ? address : nullptr;
  };
  g_camera.plug = reinterpret_cast<VkBusCamPlugFn>(find("VkBusCamPlug"));
  g_camera.unplug = reinterpret_cast<VkBusCamUnplugFn>(find("VkBusCamUnplug"));
  g_camera.submit = reinterpret_cast<VkBusCamSubmitFn>(find("VkBusCamSubmit"));
  g_camera.cancel = reinterpret_cast<VkBusCamCancelFn>(find("VkBusCamCancel"));
  g_camera.reset_port = reinterpret_cast<VkBusCamResetPortFn>(find("VkBusCamResetPort"));
  return g_camera.plug && g_camera.unplug && g_camera.submit && g_camera.cancel &&
         g_camera.reset_port;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  KeInitializeSpinLock(&g_bus.lock);
  if (!LoadCameraLibrary()) return STATUS_DLL_NOT_FOUND;
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
