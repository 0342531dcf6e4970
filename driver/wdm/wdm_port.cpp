// The WDM binding of KernelPort: the driver's logic over the real Windows
// kernel (ntoskrnl, hal, usbd). The port's opaque objects are the kernel's
// own: a kernel::Irp is an IRP, a kernel::DeviceObject a DEVICE_OBJECT, a
// kernel::Event a KEVENT, a kernel::RegistryKey a key handle. The routine
// types have the kernel's signatures on x64, so they are installed as they
// are; the layouts they rely on are checked below against the DDK.
#include <ntddk.h>
#include <usb.h>
extern "C" {  // this header of the DDK does not say it declares C functions
#include <usbdlib.h>
}

#include "driver/driver.h"
#include "driver/kernel_port.h"

// driver/wdm/probe_lock.c: MmProbeAndLockPages with IoWriteAccess under a
// structured exception handler; the exception's code when it raised.
extern "C" NTSTATUS VkProbeAndLockForWriting(PMDL mdl, KPROCESSOR_MODE mode);

namespace vk::kernel {
namespace {

static_assert(sizeof(void*) == 8, "the driver is built for x64 only");
static_assert(sizeof(Event) == sizeof(KEVENT) && alignof(KEVENT) <= alignof(Event));
static_assert(sizeof(SpinLock) == sizeof(KSPIN_LOCK));
static_assert(sizeof(IoStatus) == sizeof(IO_STATUS_BLOCK));
static_assert(offsetof(IoStatus, information) == offsetof(IO_STATUS_BLOCK, Information));
static_assert(sizeof(NtStatus) == sizeof(NTSTATUS));
static_assert(kIrpMjPnp == IRP_MJ_PNP && kIrpMjPower == IRP_MJ_POWER &&
              kIrpMjInternalDeviceControl == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
              kIrpMjDeviceControl == IRP_MJ_DEVICE_CONTROL && kIrpMjCleanup == IRP_MJ_CLEANUP);
static_assert(kDoBufferedIo == DO_BUFFERED_IO && kDoDirectIo == DO_DIRECT_IO &&
              kDoDeviceInitializing == DO_DEVICE_INITIALIZING &&
              kDoPowerPagable == DO_POWER_PAGABLE);
static_assert(kRegSz == REG_SZ && kRegBinary == REG_BINARY && kRegDword == REG_DWORD);

// (The URB layouts are checked against the DDK in common/usb.)
static_assert(sizeof(usb::InterfaceDescriptor) == sizeof(USB_INTERFACE_DESCRIPTOR));

constexpr ULONG kPoolTag = 0x6D616356;  // "Vcam" in pool dumps
void* g_driver_context = nullptr;

PIRP Real(Irp* irp) { return reinterpret_cast<PIRP>(irp); }
PDEVICE_OBJECT Real(DeviceObject* device) { return reinterpret_cast<PDEVICE_OBJECT>(device); }
PDRIVER_OBJECT Real(DriverObject* driver) { return reinterpret_cast<PDRIVER_OBJECT>(driver); }
PMDL Real(Mdl* mdl) { return reinterpret_cast<PMDL>(mdl); }
PKEVENT Real(Event* event) { return reinterpret_cast<PKEVENT>(event); }
PKSPIN_LOCK Real(SpinLock* lock) { return reinterpret_cast<PKSPIN_LOCK>(lock); }
HANDLE Real(RegistryKey* key) { return reinterpret_cast<HANDLE>(key); }

UNICODE_STRING Text(const char16_t* s) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, reinterpret_cast<PCWSTR>(s));
  return text;
}

template <typename To, typename From>
To Routine(From routine) {
  return reinterpret_cast<To>(reinterpret_cast<void*>(routine));
}

class WdmPort final : public KernelPort {
 public:
  constexpr WdmPort() = default;

  // ---- Driver and device objects ----
  void SetDispatch(DriverObject* driver, uint8_t major, DispatchRoutine routine) override {
    Real(driver)->MajorFunction[major] = Routine<PDRIVER_DISPATCH>(routine);
  }
  void SetAddDevice(DriverObject* driver, AddDeviceRoutine routine) override {
    Real(driver)->DriverExtension->AddDevice = Routine<PDRIVER_ADD_DEVICE>(routine);
  }
  void SetUnload(DriverObject* driver, UnloadRoutine routine) override {
    Real(driver)->DriverUnload = Routine<PDRIVER_UNLOAD>(routine);
  }
  // An image has exactly one driver object, so its context is the image's
  // own (driver-object extensions are not implemented by every kernel the
  // driver meets, Wine's among them).
  void SetDriverContext(DriverObject*, void* context) override { g_driver_context = context; }
  NtStatus CreateDevice(DriverObject* driver, uint32_t extension_size, const char16_t* name,
                        DeviceObject** device) override {
    UNICODE_STRING text = name ? Text(name) : UNICODE_STRING{};
    return IoCreateDevice(Real(driver), extension_size, name ? &text : nullptr,
                          FILE_DEVICE_UNKNOWN, 0, FALSE,
                          reinterpret_cast<PDEVICE_OBJECT*>(device));
  }
  void UpdateDeviceFlags(DeviceObject* device, uint32_t set, uint32_t clear) override {
    Real(device)->Flags = (Real(device)->Flags | set) & ~clear;
  }
  uint32_t DeviceFlags(DeviceObject* device) override { return Real(device)->Flags; }
  DeviceObject* AttachToStack(DeviceObject* device, DeviceObject* target) override {
    return reinterpret_cast<DeviceObject*>(
        IoAttachDeviceToDeviceStack(Real(device), Real(target)));
  }
  void Detach(DeviceObject* lower) override { IoDetachDevice(Real(lower)); }
  void DeleteDevice(DeviceObject* device) override { IoDeleteDevice(Real(device)); }
  NtStatus CreateSymbolicLink(const char16_t* link, const char16_t* device_name) override {
    UNICODE_STRING l = Text(link), d = Text(device_name);
    return IoCreateSymbolicLink(&l, &d);
  }
  NtStatus DeleteSymbolicLink(const char16_t* link) override {
    UNICODE_STRING l = Text(link);
    return IoDeleteSymbolicLink(&l);
  }
  NtStatus HardwareId(DeviceObject* pdo, char16_t* buffer, uint32_t size,
                      uint32_t* length) override {
    ULONG needed = 0;
    const NTSTATUS status =
        IoGetDeviceProperty(Real(pdo), DevicePropertyHardwareID, size, buffer, &needed);
    *length = needed;
    return status;
  }

  // ---- Requests ----
  StackLocation CurrentStack(Irp* irp) override {
    const PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Real(irp));
    StackLocation l = {};
    l.major = s->MajorFunction;
    l.minor = s->MinorFunction;
    l.device = reinterpret_cast<DeviceObject*>(s->DeviceObject);
    l.file = reinterpret_cast<FileObject*>(s->FileObject);
    switch (s->MajorFunction) {
      case IRP_MJ_DEVICE_CONTROL:
        l.control_code = s->Parameters.DeviceIoControl.IoControlCode;
        l.input_length = s->Parameters.DeviceIoControl.InputBufferLength;
        l.output_length = s->Parameters.DeviceIoControl.OutputBufferLength;
        break;
      case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        l.control_code = s->Parameters.DeviceIoControl.IoControlCode;
        l.argument1 = s->Parameters.Others.Argument1;
        break;
      case IRP_MJ_READ:
      case IRP_MJ_WRITE: l.length = s->Parameters.Read.Length; break;
      case IRP_MJ_POWER:
        l.power_type = static_cast<PowerType>(s->Parameters.Power.Type);
        l.power_state = s->Parameters.Power.State.SystemState;
        break;
      default: break;
    }
    return l;
  }
  void* SystemBuffer(Irp* irp) override { return Real(irp)->AssociatedIrp.SystemBuffer; }
  Mdl* RequestMdl(Irp* irp) override { return reinterpret_cast<Mdl*>(Real(irp)->MdlAddress); }
  void SetFileContext(FileObject* file, void* context) override {
    reinterpret_cast<PFILE_OBJECT>(file)->FsContext = context;
  }
  void* FileContext(FileObject* file) override {
    return reinterpret_cast<PFILE_OBJECT>(file)->FsContext;
  }
  void SetStatus(Irp* irp, NtStatus status, uintptr_t information) override {
    Real(irp)->IoStatus.Status = status;
    Real(irp)->IoStatus.Information = information;
  }
  IoStatus Status(Irp* irp) override {
    return {Real(irp)->IoStatus.Status, Real(irp)->IoStatus.Information};
  }
  void MarkPending(Irp* irp) override { IoMarkIrpPending(Real(irp)); }
  bool PendingReturned(Irp* irp) override { return Real(irp)->PendingReturned; }
  CancelRoutine ExchangeCancelRoutine(Irp* irp, CancelRoutine routine) override {
    return Routine<CancelRoutine>(
        IoSetCancelRoutine(Real(irp), Routine<PDRIVER_CANCEL>(routine)));
  }
  bool CancelRequest(Irp* irp) override { return IoCancelIrp(Real(irp)); }
  bool IsCancelled(Irp* irp) override { return Real(irp)->Cancel; }
  void ReleaseCancelLock(Irp* irp) override { IoReleaseCancelSpinLock(Real(irp)->CancelIrql); }
  void CompleteRequest(Irp* irp) override { IoCompleteRequest(Real(irp), IO_NO_INCREMENT); }
  void CopyStackToNext(Irp* irp) override { IoCopyCurrentIrpStackLocationToNext(Real(irp)); }
  void SkipStack(Irp* irp) override { IoSkipCurrentIrpStackLocation(Real(irp)); }
  void SetCompletion(Irp* irp, CompletionRoutine routine, void* context) override {
    IoSetCompletionRoutine(Real(irp), Routine<PIO_COMPLETION_ROUTINE>(routine), context, TRUE,
                           TRUE, TRUE);
  }
  void SetNextInternalRequest(Irp* irp, uint32_t code, void* urb) override {
    const PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Real(irp));
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = urb;
  }
  NtStatus CallDriver(DeviceObject* device, Irp* irp) override {
    return IoCallDriver(Real(device), Real(irp));
  }
  Irp* BuildInternalRequest(uint32_t code, DeviceObject* target, void* argument1, Event* event,
                            IoStatus* status) override {
    const PIRP irp = IoBuildDeviceIoControlRequest(
        code, Real(target), nullptr, 0, nullptr, 0, TRUE, Real(event),
        reinterpret_cast<PIO_STATUS_BLOCK>(status));
    if (irp != nullptr) IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    return reinterpret_cast<Irp*>(irp);
  }
  Irp* AllocateIrp(int8_t stack_size) override {
    return reinterpret_cast<Irp*>(IoAllocateIrp(stack_size, FALSE));
  }
  void InitializeIrp(Irp* irp, int8_t stack_size) override {
    IoInitializeIrp(Real(irp), IoSizeOfIrp(stack_size), stack_size);
  }
  void FreeIrp(Irp* irp) override { IoFreeIrp(Real(irp)); }
  int8_t StackSize(DeviceObject* device) override { return Real(device)->StackSize; }
  uint16_t CapabilitiesVersion(Irp* irp) override {
    return IoGetCurrentIrpStackLocation(Real(irp))
        ->Parameters.DeviceCapabilities.Capabilities->Version;
  }
  void SetSurpriseRemovalOk(Irp* irp) override {
    IoGetCurrentIrpStackLocation(Real(irp))
        ->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = TRUE;
  }

  // ---- Work items ----
  WorkItem* AllocateWorkItem(DeviceObject* device) override {
    return reinterpret_cast<WorkItem*>(IoAllocateWorkItem(Real(device)));
  }
  void QueueWorkItem(WorkItem* item, WorkItemRoutine routine, void* context) override {
    IoQueueWorkItem(reinterpret_cast<PIO_WORKITEM>(item), Routine<PIO_WORKITEM_ROUTINE>(routine),
                    DelayedWorkQueue, context);
  }
  void FreeWorkItem(WorkItem* item) override { IoFreeWorkItem(reinterpret_cast<PIO_WORKITEM>(item)); }

  // ---- Power ----
  void StartNextPowerIrp(Irp* irp) override { PoStartNextPowerIrp(Real(irp)); }
  NtStatus PoCallDriver(DeviceObject* device, Irp* irp) override {
    return ::PoCallDriver(Real(device), Real(irp));
  }
  NtStatus RequestPowerIrp(DeviceObject* pdo, uint8_t minor, int32_t device_state,
                           PowerCompletionRoutine routine, void* context) override {
    POWER_STATE state;
    state.DeviceState = static_cast<DEVICE_POWER_STATE>(device_state);
    return PoRequestPowerIrp(Real(pdo), minor, state,
                             Routine<PREQUEST_POWER_COMPLETE>(routine), context, nullptr);
  }
  void SetPowerState(DeviceObject* device, PowerType type, int32_t state) override {
    POWER_STATE s;
    s.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    PoSetPowerState(Real(device), static_cast<POWER_STATE_TYPE>(type), s);
  }

  // ---- Memory ----
  void* AllocateNonPaged(size_t bytes) override {
    return ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTag);
  }
  void* AllocatePaged(size_t bytes) override {
    return ExAllocatePoolWithTag(PagedPool, bytes, kPoolTag);
  }
  void FreePool(void* block) override { ExFreePool(block); }
  Mdl* AllocateMdl(void* address, uint32_t length) override {
    return reinterpret_cast<Mdl*>(IoAllocateMdl(address, length, FALSE, FALSE, nullptr));
  }
  void BuildPartialMdl(Mdl* source, Mdl* target, void* address, uint32_t length) override {
    IoBuildPartialMdl(Real(source), Real(target), address, length);
  }
  void FreeMdl(Mdl* mdl) override { IoFreeMdl(Real(mdl)); }
  void* MdlVirtualAddress(Mdl* mdl) override { return MmGetMdlVirtualAddress(Real(mdl)); }
  uint32_t MdlByteCount(Mdl* mdl) override { return MmGetMdlByteCount(Real(mdl)); }
  void* MapMdl(Mdl* mdl) override {
    return MmGetSystemAddressForMdlSafe(Real(mdl), NormalPagePriority);
  }
  // The range is the one the I/O manager described (the MDL's virtual
  // address is the caller's own), probed in the requestor's mode, so a
  // kernel-mode caller's buffer is taken as it is and a user's is checked.
  NtStatus LockOutputForWriting(Irp* irp, Mdl** locked) override {
    *locked = nullptr;
    PIRP request = Real(irp);
    PMDL described = request->MdlAddress;
    if (described == nullptr) return STATUS_INVALID_PARAMETER;
    PMDL mdl =
        IoAllocateMdl(MmGetMdlVirtualAddress(described),
                      MmGetMdlByteCount(described), FALSE, FALSE, nullptr);
    if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status =
        VkProbeAndLockForWriting(mdl, request->RequestorMode);
    if (!NT_SUCCESS(status)) {
      IoFreeMdl(mdl);
      return status;
    }
    *locked = reinterpret_cast<Mdl*>(mdl);
    return STATUS_SUCCESS;
  }
  void UnlockOutput(Mdl* locked) override {
    MmUnlockPages(Real(locked));
    IoFreeMdl(Real(locked));
  }

  // ---- Synchronisation ----
  void InitializeSpinLock(SpinLock* lock) override { KeInitializeSpinLock(Real(lock)); }
  Irql AcquireSpinLock(SpinLock* lock) override {
    KIRQL previous;
    KeAcquireSpinLock(Real(lock), &previous);
    return previous;
  }
  void ReleaseSpinLock(SpinLock* lock, Irql previous) override {
    KeReleaseSpinLock(Real(lock), previous);
  }
  void InitializeEvent(Event* event, bool notification, bool signalled) override {
    KeInitializeEvent(Real(event), notification ? NotificationEvent : SynchronizationEvent,
                      signalled);
  }
  void SetEvent(Event* event) override { KeSetEvent(Real(event), IO_NO_INCREMENT, FALSE); }
  void ClearEvent(Event* event) override { KeClearEvent(Real(event)); }
  void WaitForEvent(Event* event) override {
    KeWaitForSingleObject(Real(event), Executive, KernelMode, FALSE, nullptr);
  }

  // ---- Registry ----
  NtStatus OpenKey(const char16_t* path, RegistryKey** key) override {
    UNICODE_STRING name = Text(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    return ZwOpenKey(reinterpret_cast<PHANDLE>(key), KEY_ALL_ACCESS, &attributes);
  }
  NtStatus QueryValue(RegistryKey* key, const char16_t* name, uint32_t* type, void* data,
                      uint32_t size, uint32_t* length) override;
  NtStatus CreateKey(const char16_t* path, bool is_volatile, RegistryKey** key,
                     bool* created) override {
    UNICODE_STRING name = Text(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    // Keys carry their full path as their class.
    UNICODE_STRING key_class = Text(path);
    ULONG disposition = 0;
    const NTSTATUS status = ZwCreateKey(
        reinterpret_cast<PHANDLE>(key), KEY_ALL_ACCESS, &attributes, 0, &key_class,
        is_volatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE, &disposition);
    if (created) *created = disposition == REG_CREATED_NEW_KEY;
    return status;
  }
  NtStatus SetValue(RegistryKey* key, const char16_t* name, uint32_t type, const void* data,
                    uint32_t size) override {
    UNICODE_STRING value = Text(name ? name : u"");
    return ZwSetValueKey(Real(key), &value, 0, type, const_cast<void*>(data), size);
  }
  NtStatus DeleteKey(RegistryKey* key) override { return ZwDeleteKey(Real(key)); }
  void CloseKey(RegistryKey* key) override { ZwClose(Real(key)); }

  // ---- Threads and time ----
  NtStatus CreateThread(ThreadRoutine routine, void* context, Thread** thread) override;
  void WaitForThread(Thread* thread) override {
    if (reinterpret_cast<PKTHREAD>(thread) == KeGetCurrentThread()) return;
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  }
  void DereferenceThread(Thread* thread) override { ObDereferenceObject(thread); }
  void Delay(uint32_t milliseconds) override {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;  // relative, 100 ns
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }

  // ---- USB driver interface ----
  uint32_t UsbdiVersion() override {
    USBD_VERSION_INFORMATION info = {};
    USBD_GetUSBDIVersion(&info);
    return info.USBDI_Version;
  }
  const usb::InterfaceDescriptor* ParseConfigurationDescriptor(
      const void* config, const void* start, int interface_number, int alternate_setting,
      int interface_class, int interface_subclass, int interface_protocol) override {
    return reinterpret_cast<const usb::InterfaceDescriptor*>(
        USBD_ParseConfigurationDescriptorEx(
            static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<void*>(config)),
            const_cast<void*>(start), interface_number, alternate_setting, interface_class,
            interface_subclass, interface_protocol));
  }
  usb::UrbSelectConfiguration* CreateConfigurationRequest(
      const void* config, const usb::InterfaceDescriptor* descriptor) override {
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<usb::InterfaceDescriptor*>(descriptor));
    return reinterpret_cast<usb::UrbSelectConfiguration*>(USBD_CreateConfigurationRequestEx(
        static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<void*>(config)), list));
  }
};

NtStatus WdmPort::QueryValue(RegistryKey* key, const char16_t* name, uint32_t* type,
                             void* data, uint32_t size, uint32_t* length) {
  UNICODE_STRING value = Text(name);
  *length = 0;
  ULONG needed = 0;
  NTSTATUS status =
      ZwQueryValueKey(Real(key), &value, KeyValuePartialInformation, nullptr, 0, &needed);
  if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) return status;
  auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(AllocatePaged(needed));
  if (info == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  status = ZwQueryValueKey(Real(key), &value, KeyValuePartialInformation, info, needed, &needed);
  if (NT_SUCCESS(status)) {
    *length = info->DataLength;
    if (type) *type = info->Type;
    if (data == nullptr || size < info->DataLength) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      RtlCopyMemory(data, info->Data, info->DataLength);
    }
  }
  FreePool(info);
  return status;
}

NtStatus WdmPort::CreateThread(ThreadRoutine routine, void* context, Thread** thread) {
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                         Routine<PKSTART_ROUTINE>(routine), context);
  if (!NT_SUCCESS(status)) return status;
  PVOID object = nullptr;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object,
                                     nullptr);
  ZwClose(handle);
  *thread = NT_SUCCESS(status) ? static_cast<Thread*>(object) : nullptr;
  return status;
}

constinit WdmPort g_port;

}  // namespace

void* DeviceExtensionOf(DeviceObject* device) { return Real(device)->DeviceExtension; }

void* DriverContextOf(DriverObject*) { return g_driver_context; }

}  // namespace vk::kernel

// The kernel's entry: the service key's path arrives counted, not
// terminated, so the driver gets a terminated copy.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  const size_t chars = registry_path->Length / sizeof(WCHAR);
  auto* path = static_cast<char16_t*>(
      ExAllocatePoolWithTag(PagedPool, (chars + 1) * sizeof(char16_t), vk::kernel::kPoolTag));
  if (path == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(path, registry_path->Buffer, chars * sizeof(char16_t));
  path[chars] = 0;
  const NTSTATUS status = vk::drv::DriverEntry(vk::kernel::g_port,
                                               reinterpret_cast<vk::kernel::DriverObject*>(driver),
                                               path);
  ExFreePool(path);
  return status;
}

// Called only if a pure virtual function were ever reached.
extern "C" void __cxa_pure_virtual() { KeBugCheck(0xE2); }
