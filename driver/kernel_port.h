// KernelPort: the narrow set of kernel operations the vku2cam driver uses,
// named after what they do. The driver's logic calls nothing else, so the
// same sources run in the simulated kernel on Linux (sim/kernel) and over
// the WDM kernel on Windows. Objects are opaque; each kernel defines them.
//
// Levels: unless a routine says otherwise, it may be called at passive
// level only. Spin-lock, event-set, completion and pool routines may run at
// dispatch level.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/usb/descriptors.h"
#include "common/usb/status.h"
#include "common/usb/urb.h"

namespace vk::kernel {

struct DriverObject;
struct DeviceObject;
struct Irp;
struct FileObject;
struct Thread;
struct RegistryKey;
struct WorkItem;
using usb::Mdl;

// Storage of a notification or synchronisation event, embedded in the
// driver's structures like a KEVENT.
struct alignas(8) Event {
  unsigned char opaque[24];
};
// Storage of a spin lock, like a KSPIN_LOCK.
struct alignas(8) SpinLock {
  unsigned char opaque[8];
};
using Irql = uint8_t;

struct IoStatus {
  NtStatus status;
  uintptr_t information;
};

// Major and minor functions (the WDM values).
inline constexpr uint8_t kIrpMjCreate = 0x00;
inline constexpr uint8_t kIrpMjClose = 0x02;
inline constexpr uint8_t kIrpMjRead = 0x03;
inline constexpr uint8_t kIrpMjWrite = 0x04;
inline constexpr uint8_t kIrpMjDeviceControl = 0x0E;
inline constexpr uint8_t kIrpMjInternalDeviceControl = 0x0F;
inline constexpr uint8_t kIrpMjCleanup = 0x12;
inline constexpr uint8_t kIrpMjPower = 0x16;
inline constexpr uint8_t kIrpMjPnp = 0x1B;
inline constexpr uint8_t kIrpMjMaximum = 0x1B;

inline constexpr uint8_t kIrpMnStartDevice = 0x00;
inline constexpr uint8_t kIrpMnRemoveDevice = 0x02;
inline constexpr uint8_t kIrpMnStopDevice = 0x04;
inline constexpr uint8_t kIrpMnQueryCapabilities = 0x09;
inline constexpr uint8_t kIrpMnSurpriseRemoval = 0x17;

inline constexpr uint8_t kIrpMnWaitWake = 0x00;
inline constexpr uint8_t kIrpMnSetPower = 0x02;
inline constexpr uint8_t kIrpMnQueryPower = 0x03;

enum class PowerType : int32_t { kSystem = 0, kDevice = 1 };
// SYSTEM_POWER_STATE
inline constexpr int32_t kPowerSystemWorking = 1;
inline constexpr int32_t kPowerSystemSleeping1 = 2;
inline constexpr int32_t kPowerSystemSleeping2 = 3;
inline constexpr int32_t kPowerSystemSleeping3 = 4;
inline constexpr int32_t kPowerSystemHibernate = 5;
inline constexpr int32_t kPowerSystemShutdown = 6;
// DEVICE_POWER_STATE
inline constexpr int32_t kPowerDeviceD0 = 1;
inline constexpr int32_t kPowerDeviceD1 = 2;
inline constexpr int32_t kPowerDeviceD2 = 3;
inline constexpr int32_t kPowerDeviceD3 = 4;

// Device object flags.
inline constexpr uint32_t kDoBufferedIo = 0x0004;
inline constexpr uint32_t kDoDirectIo = 0x0010;
inline constexpr uint32_t kDoDeviceInitializing = 0x0080;
inline constexpr uint32_t kDoPowerPagable = 0x2000;

// Registry value types.
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;

// What a dispatch routine reads of its own stack location.
struct StackLocation {
  uint8_t major;
  uint8_t minor;
  DeviceObject* device;
  FileObject* file;
  uint32_t control_code;   // device control
  uint32_t input_length;   // device control
  uint32_t output_length;  // device control
  uint32_t length;         // read and write
  PowerType power_type;    // power
  int32_t power_state;     // power
  void* argument1;         // internal device control: the URB
};

using DispatchRoutine = NtStatus (*)(DeviceObject* device, Irp* irp);
using AddDeviceRoutine = NtStatus (*)(DriverObject* driver, DeviceObject* pdo);
using UnloadRoutine = void (*)(DriverObject* driver);
// Completion routines are called on success, error and cancel.
using CompletionRoutine = NtStatus (*)(DeviceObject* device, Irp* irp,
                                       void* context);
using CancelRoutine = void (*)(DeviceObject* device, Irp* irp);
using ThreadRoutine = void (*)(void* context);
// Runs at passive level in a system worker thread.
using WorkItemRoutine = void (*)(DeviceObject* device, void* context);
using PowerCompletionRoutine = void (*)(DeviceObject* device, uint8_t minor,
                                        int32_t state, void* context,
                                        const IoStatus& status);

class KernelPort {
 public:
  // ---- Driver and device objects ----
  virtual void SetDispatch(DriverObject* driver, uint8_t major,
                           DispatchRoutine routine) = 0;
  virtual void SetAddDevice(DriverObject* driver, AddDeviceRoutine routine) = 0;
  virtual void SetUnload(DriverObject* driver, UnloadRoutine routine) = 0;
  // Driver-wide state, found again with DriverContextOf.
  virtual void SetDriverContext(DriverObject* driver, void* context) = 0;
  virtual NtStatus CreateDevice(DriverObject* driver, uint32_t extension_size,
                                const char16_t* name,
                                DeviceObject** device) = 0;
  virtual void UpdateDeviceFlags(DeviceObject* device, uint32_t set,
                                 uint32_t clear) = 0;
  virtual uint32_t DeviceFlags(DeviceObject* device) = 0;
  // Returns the device that was on top of `target`'s stack, or null.
  virtual DeviceObject* AttachToStack(DeviceObject* device,
                                      DeviceObject* target) = 0;
  virtual void Detach(DeviceObject* lower) = 0;
  virtual void DeleteDevice(DeviceObject* device) = 0;
  virtual NtStatus CreateSymbolicLink(const char16_t* link,
                                      const char16_t* device_name) = 0;
  virtual NtStatus DeleteSymbolicLink(const char16_t* link) = 0;
  // DevicePropertyHardwareID: the first hardware ID, zero-terminated UTF-16.
  // `length` receives the bytes the property needs.
  virtual NtStatus HardwareId(DeviceObject* pdo, char16_t* buffer,
                              uint32_t size, uint32_t* length) = 0;

  // ---- Requests ----
  virtual StackLocation CurrentStack(Irp* irp) = 0;
  virtual void* SystemBuffer(Irp* irp) = 0;
  virtual Mdl* RequestMdl(Irp* irp) = 0;
  virtual void SetFileContext(FileObject* file, void* context) = 0;
  virtual void* FileContext(FileObject* file) = 0;
  virtual void SetStatus(Irp* irp, NtStatus status, uintptr_t information) = 0;
  virtual IoStatus Status(Irp* irp) = 0;
  virtual void MarkPending(Irp* irp) = 0;
  virtual bool PendingReturned(Irp* irp) = 0;
  // Atomic exchange of the request's cancel routine (IoSetCancelRoutine).
  virtual CancelRoutine ExchangeCancelRoutine(Irp* irp,
                                              CancelRoutine routine) = 0;
  virtual bool CancelRequest(Irp* irp) = 0;
  // Whether the request has been cancelled (Irp->Cancel).
  virtual bool IsCancelled(Irp* irp) = 0;
  // Called by a cancel routine: releases the system cancel lock.
  virtual void ReleaseCancelLock(Irp* irp) = 0;
  // IoCompleteRequest without priority boost. Dispatch level.
  virtual void CompleteRequest(Irp* irp) = 0;
  virtual void CopyStackToNext(Irp* irp) = 0;
  virtual void SkipStack(Irp* irp) = 0;
  virtual void SetCompletion(Irp* irp, CompletionRoutine routine,
                             void* context) = 0;
  // Next stack location: internal device control `code` carrying `urb`.
  virtual void SetNextInternalRequest(Irp* irp, uint32_t code, void* urb) = 0;
  virtual NtStatus CallDriver(DeviceObject* device, Irp* irp) = 0;
  // IoBuildDeviceIoControlRequest for an internal code without buffers; the
  // kernel completes it into `status` and sets `event`. Null when out of
  // memory.
  virtual Irp* BuildInternalRequest(uint32_t code, DeviceObject* target,
                                    void* argument1, Event* event,
                                    IoStatus* status) = 0;
  virtual Irp* AllocateIrp(int8_t stack_size) = 0;
  virtual void InitializeIrp(Irp* irp, int8_t stack_size) = 0;
  virtual void FreeIrp(Irp* irp) = 0;
  virtual int8_t StackSize(DeviceObject* device) = 0;
  // IRP_MN_QUERY_CAPABILITIES: the structure's Version, and its
  // SurpriseRemovalOK bit.
  virtual uint16_t CapabilitiesVersion(Irp* irp) = 0;
  virtual void SetSurpriseRemovalOk(Irp* irp) = 0;

  // ---- Work items (IoAllocateWorkItem, IoQueueWorkItem, IoFreeWorkItem) ----
  // How a routine at dispatch level gets passive-level work done. Dispatch
  // level. A queued item keeps its device object; it must not be queued
  // again before its routine has started, nor freed while queued.
  virtual WorkItem* AllocateWorkItem(DeviceObject* device) = 0;
  virtual void QueueWorkItem(WorkItem* item, WorkItemRoutine routine,
                             void* context) = 0;
  virtual void FreeWorkItem(WorkItem* item) = 0;

  // ---- Power ----
  virtual void StartNextPowerIrp(Irp* irp) = 0;
  virtual NtStatus PoCallDriver(DeviceObject* device, Irp* irp) = 0;
  virtual NtStatus RequestPowerIrp(DeviceObject* pdo, uint8_t minor,
                                   int32_t device_state,
                                   PowerCompletionRoutine routine,
                                   void* context) = 0;
  virtual void SetPowerState(DeviceObject* device, PowerType type,
                             int32_t state) = 0;

  // ---- Memory (dispatch level for non-paged pool) ----
  virtual void* AllocateNonPaged(size_t bytes) = 0;
  virtual void* AllocatePaged(size_t bytes) = 0;
  virtual void FreePool(void* block) = 0;
  virtual Mdl* AllocateMdl(void* address, uint32_t length) = 0;
  virtual void BuildPartialMdl(Mdl* source, Mdl* target, void* address,
                               uint32_t length) = 0;
  virtual void FreeMdl(Mdl* mdl) = 0;
  virtual void* MdlVirtualAddress(Mdl* mdl) = 0;
  virtual uint32_t MdlByteCount(Mdl* mdl) = 0;
  // MmGetSystemAddressForMdlSafe; null when it cannot be mapped.
  virtual void* MapMdl(Mdl* mdl) = 0;
  // The output of a METHOD_IN_DIRECT request is locked for reading only: a
  // write into it may land in a copy-on-write page the caller never sees,
  // or in a page it cannot write. This locks the caller's range (what
  // RequestMdl describes) again, for writing: a new MDL probed and locked
  // with IoWriteAccess in the requestor's mode. Passive level, in the
  // dispatch routine on the thread that issued the request (the probe needs
  // the caller's address space). Fails with the probe's status when the
  // caller may not write the range. Unlock before the request completes.
  virtual NtStatus LockOutputForWriting(Irp* irp, Mdl** locked) = 0;
  // MmUnlockPages and IoFreeMdl of what LockOutputForWriting gave. Dispatch
  // level.
  virtual void UnlockOutput(Mdl* locked) = 0;

  // ---- Synchronisation ----
  virtual void InitializeSpinLock(SpinLock* lock) = 0;
  virtual Irql AcquireSpinLock(SpinLock* lock) = 0;  // raises to dispatch
  virtual void ReleaseSpinLock(SpinLock* lock, Irql previous) = 0;
  virtual void InitializeEvent(Event* event, bool notification,
                               bool signalled) = 0;
  virtual void SetEvent(Event* event) = 0;
  virtual void ClearEvent(Event* event) = 0;
  virtual void WaitForEvent(Event* event) = 0;  // no time-out

  // ---- Registry (paths like "\Registry\Machine\...") ----
  virtual NtStatus OpenKey(const char16_t* path, RegistryKey** key) = 0;
  // Size first: with `data` null or `size` too small the result is
  // kStatusBufferTooSmall and `length` receives the value's size.
  virtual NtStatus QueryValue(RegistryKey* key, const char16_t* name,
                              uint32_t* type, void* data, uint32_t size,
                              uint32_t* length) = 0;
  // Creates the key (its parent must exist) or opens it; `created` tells.
  virtual NtStatus CreateKey(const char16_t* path, bool is_volatile,
                             RegistryKey** key, bool* created) = 0;
  virtual NtStatus SetValue(RegistryKey* key, const char16_t* name,
                            uint32_t type, const void* data, uint32_t size) = 0;
  virtual NtStatus DeleteKey(RegistryKey* key) = 0;
  virtual void CloseKey(RegistryKey* key) = 0;

  // ---- Threads and time ----
  // PsCreateSystemThread and a referenced pointer to the thread object.
  virtual NtStatus CreateThread(ThreadRoutine routine, void* context,
                                Thread** thread) = 0;
  virtual void WaitForThread(Thread* thread) = 0;
  virtual void DereferenceThread(Thread* thread) = 0;
  virtual void Delay(uint32_t milliseconds) = 0;

  // ---- USB driver interface ----
  virtual uint32_t UsbdiVersion() = 0;
  // USBD_ParseConfigurationDescriptorEx: a pointer into `config` at the
  // first interface descriptor matching the fields that are not -1.
  virtual const usb::InterfaceDescriptor* ParseConfigurationDescriptor(
      const void* config, const void* start, int interface_number,
      int alternate_setting, int interface_class, int interface_subclass,
      int interface_protocol) = 0;
  // USBD_CreateConfigurationRequestEx for one interface: a select-
  // configuration URB from non-paged pool, freed with FreePool.
  virtual usb::UrbSelectConfiguration* CreateConfigurationRequest(
      const void* config, const usb::InterfaceDescriptor* descriptor) = 0;

 protected:
  ~KernelPort() = default;
};

// Bound at link time by the kernel in use: they are how a dispatch routine,
// given only its device object, finds its state (and through it the port).
void* DeviceExtensionOf(DeviceObject* device);
void* DriverContextOf(DriverObject* driver);

// Locked increments and decrements (InterlockedIncrement/Decrement).
inline int32_t LockedIncrement(volatile int32_t* value) {
  return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}
inline int32_t LockedDecrement(volatile int32_t* value) {
  return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}
inline uint8_t LoadByte(const volatile uint8_t* p) {
  return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}
inline void StoreByte(volatile uint8_t* p, uint8_t v) {
  __atomic_store_n(p, v, __ATOMIC_RELEASE);
}
// Plain 32-bit stores and loads that several threads may make at once.
inline uint32_t LoadU32(const volatile uint32_t* p) {
  return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}
inline void StoreU32(volatile uint32_t* p, uint32_t v) {
  __atomic_store_n(p, v, __ATOMIC_RELEASE);
}

}  // namespace vk::kernel
