// The simulated Windows kernel behind KernelPort: object namespace with
// device objects and symbolic links, requests with stack locations,
// completion routines and cancellation, pool with accounting and failure
// injection, events, spin locks, system threads, an in-memory kernel
// registry, power requests, and the USBD helpers. The plug-and-play manager
// and the USB bus driver that put cameras under the driver live beside it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "sim/kernel/objects.h"
#include "sim/kernel/registry_hive.h"
#include "sim/kernel/verifier.h"

namespace vk::sim {

struct PoolStats {
  size_t live_blocks = 0;
  size_t live_bytes = 0;
  uint64_t allocations = 0;  // allocations attempted so far
};

class SimKernel final : public kernel::KernelPort {
 public:
  SimKernel();
  ~SimKernel();
  SimKernel(const SimKernel&) = delete;
  SimKernel& operator=(const SimKernel&) = delete;

  // ---- For the managers, tools and tests ----
  PoolStats Pool() const;
  // The allocation `n` allocations from now (0: the next) fails, once.
  void FailAllocationAfter(uint64_t n);
  void ClearAllocationFailure();
  bool LinkExists(const std::u16string& link) const;
  // The device a "\DosDevices\..." link names, or null.
  kernel::DeviceObject* ResolveLink(const std::u16string& link) const;
  size_t DeviceCount() const;
  kernel::DeviceObject* TopOfStack(kernel::DeviceObject* device) const;
  // Registry set-up and inspection (paths like "\Registry\Machine\...").
  // Keeps the registry in `hive` from now on (before the driver loads).
  void SetHive(std::unique_ptr<RegistryHive> hive);
  void EnsureKey(const std::string& path, bool is_volatile = false);
  void SetRegistryValue(const std::string& key, const std::string& name,
                        uint32_t type, const std::vector<uint8_t>& data);
  bool RegistryKeyExists(const std::string& path) const;
  bool RegistryKeyVolatile(const std::string& path) const;
  // The next `count` key creations fail (insufficient resources).
  void FailKeyCreation(int count);
  bool RegistryValue(const std::string& key, const std::string& name,
                     uint32_t* type, std::vector<uint8_t>* data) const;
  std::vector<std::string> RegistryKeysUnder(const std::string& prefix) const;
  // Requests built by the managers: a fresh request for `device`'s stack.
  kernel::Irp* NewIrp(int8_t stack_size);
  kernel::DriverObject* CreateDriverObject(const std::u16string& name);
  void DeleteDriverObject(kernel::DriverObject* driver);
  kernel::DeviceObject* CreateBusDevice(UsbBusDevice* bus,
                                        const std::u16string& name);
  // Pool taken on the driver's behalf (KernelPort's allocations and the
  // USBD helpers'), counted as the driver's at unload.
  void* AllocateAccounted(size_t bytes);
  // The bus completes a request it had pending, racing safely with a
  // cancellation of it.
  void CompleteFromBus(kernel::Irp* irp, NtStatus status,
                       uintptr_t information);
  int32_t DevicePowerState(kernel::DeviceObject* device) const;
  // IoReleaseCancelSpinLock(level), for a cancel routine of the bus that
  // completes the request before it releases the lock.
  void ReleaseCancelLockAt(kernel::Irql level);
  // Thread objects referenced by CreateThread and not yet dereferenced.
  size_t ThreadReferences() const { return thread_references_.load(); }
  // Waits until no work item is queued or running.
  void FlushWorkItems();
  // The driver has unloaded: it must have given back every pool block,
  // request, thread reference, work item and device object it took.
  void VerifyUnload(kernel::DriverObject* driver);
  // Whether `irp` is a request the kernel still knows (not yet freed).
  bool IsLiveIrp(kernel::Irp* irp) const;
  // Open file objects keep a deleted device (and its extension) alive until
  // the last one is closed, as the object manager does.
  void ReferenceDevice(kernel::DeviceObject* device);
  void ReleaseDevice(kernel::DeviceObject* device);

  // ---- KernelPort ----
  void SetDispatch(kernel::DriverObject* driver, uint8_t major,
                   kernel::DispatchRoutine routine) override;
  void SetAddDevice(kernel::DriverObject* driver,
                    kernel::AddDeviceRoutine routine) override;
  void SetUnload(kernel::DriverObject* driver,
                 kernel::UnloadRoutine routine) override;
  void SetDriverContext(kernel::DriverObject* driver, void* context) override;
  NtStatus CreateDevice(kernel::DriverObject* driver, uint32_t extension_size,
                        const char16_t* name,
                        kernel::DeviceObject** device) override;
  void UpdateDeviceFlags(kernel::DeviceObject* device, uint32_t set,
                         uint32_t clear) override;
  uint32_t DeviceFlags(kernel::DeviceObject* device) override;
  kernel::DeviceObject* AttachToStack(kernel::DeviceObject* device,
                                      kernel::DeviceObject* target) override;
  void Detach(kernel::DeviceObject* lower) override;
  void DeleteDevice(kernel::DeviceObject* device) override;
  NtStatus CreateSymbolicLink(const char16_t* link,
                              const char16_t* device_name) override;
  NtStatus DeleteSymbolicLink(const char16_t* link) override;
  NtStatus HardwareId(kernel::DeviceObject* pdo, char16_t* buffer,
                      uint32_t size, uint32_t* length) override;

  kernel::StackLocation CurrentStack(kernel::Irp* irp) override;
  void* SystemBuffer(kernel::Irp* irp) override;
  kernel::Mdl* RequestMdl(kernel::Irp* irp) override;
  void SetFileContext(kernel::FileObject* file, void* context) override;
  void* FileContext(kernel::FileObject* file) override;
  void SetStatus(kernel::Irp* irp, NtStatus status,
                 uintptr_t information) override;
  kernel::IoStatus Status(kernel::Irp* irp) override;
  void MarkPending(kernel::Irp* irp) override;
  bool PendingReturned(kernel::Irp* irp) override;
  kernel::CancelRoutine ExchangeCancelRoutine(
      kernel::Irp* irp, kernel::CancelRoutine routine) override;
  bool CancelRequest(kernel::Irp* irp) override;
  bool IsCancelled(kernel::Irp* irp) override;
  void ReleaseCancelLock(kernel::Irp* irp) override;
  void CompleteRequest(kernel::Irp* irp) override;
  void CopyStackToNext(kernel::Irp* irp) override;
  void SkipStack(kernel::Irp* irp) override;
  void SetCompletion(kernel::Irp* irp, kernel::CompletionRoutine routine,
                     void* context) override;
  void SetNextInternalRequest(kernel::Irp* irp, uint32_t code,
                              void* urb) override;
  NtStatus CallDriver(kernel::DeviceObject* device, kernel::Irp* irp) override;
  kernel::Irp* BuildInternalRequest(uint32_t code, kernel::DeviceObject* target,
                                    void* argument1, kernel::Event* event,
                                    kernel::IoStatus* status) override;
  kernel::Irp* AllocateIrp(int8_t stack_size) override;
  void InitializeIrp(kernel::Irp* irp, int8_t stack_size) override;
  void FreeIrp(kernel::Irp* irp) override;
  int8_t StackSize(kernel::DeviceObject* device) override;
  uint16_t CapabilitiesVersion(kernel::Irp* irp) override;
  void SetSurpriseRemovalOk(kernel::Irp* irp) override;

  kernel::WorkItem* AllocateWorkItem(kernel::DeviceObject* device) override;
  void QueueWorkItem(kernel::WorkItem* item, kernel::WorkItemRoutine routine,
                     void* context) override;
  void FreeWorkItem(kernel::WorkItem* item) override;

  void StartNextPowerIrp(kernel::Irp* irp) override;
  NtStatus PoCallDriver(kernel::DeviceObject* device,
                        kernel::Irp* irp) override;
  NtStatus RequestPowerIrp(kernel::DeviceObject* pdo, uint8_t minor,
                           int32_t device_state,
                           kernel::PowerCompletionRoutine routine,
                           void* context) override;
  void SetPowerState(kernel::DeviceObject* device, kernel::PowerType type,
                     int32_t state) override;

  void* AllocateNonPaged(size_t bytes) override;
  void* AllocatePaged(size_t bytes) override;
  void FreePool(void* block) override;
  kernel::Mdl* AllocateMdl(void* address, uint32_t length) override;
  void BuildPartialMdl(kernel::Mdl* source, kernel::Mdl* target, void* address,
                       uint32_t length) override;
  void FreeMdl(kernel::Mdl* mdl) override;
  void* MdlVirtualAddress(kernel::Mdl* mdl) override;
  uint32_t MdlByteCount(kernel::Mdl* mdl) override;
  void* MapMdl(kernel::Mdl* mdl) override;
  NtStatus LockOutputForWriting(kernel::Irp* irp,
                                kernel::Mdl** locked) override;
  void UnlockOutput(kernel::Mdl* locked) override;

  void InitializeSpinLock(kernel::SpinLock* lock) override;
  kernel::Irql AcquireSpinLock(kernel::SpinLock* lock) override;
  void ReleaseSpinLock(kernel::SpinLock* lock, kernel::Irql previous) override;
  void InitializeEvent(kernel::Event* event, bool notification,
                       bool signalled) override;
  void SetEvent(kernel::Event* event) override;
  void ClearEvent(kernel::Event* event) override;
  void WaitForEvent(kernel::Event* event) override;

  NtStatus OpenKey(const char16_t* path, kernel::RegistryKey** key) override;
  NtStatus QueryValue(kernel::RegistryKey* key, const char16_t* name,
                      uint32_t* type, void* data, uint32_t size,
                      uint32_t* length) override;
  NtStatus CreateKey(const char16_t* path, bool is_volatile,
                     kernel::RegistryKey** key, bool* created) override;
  NtStatus SetValue(kernel::RegistryKey* key, const char16_t* name,
                    uint32_t type, const void* data, uint32_t size) override;
  NtStatus DeleteKey(kernel::RegistryKey* key) override;
  void CloseKey(kernel::RegistryKey* key) override;

  NtStatus CreateThread(kernel::ThreadRoutine routine, void* context,
                        kernel::Thread** thread) override;
  void WaitForThread(kernel::Thread* thread) override;
  void DereferenceThread(kernel::Thread* thread) override;
  void Delay(uint32_t milliseconds) override;

  uint32_t UsbdiVersion() override { return usbdi_version_; }
  void SetUsbdiVersion(uint32_t v) { usbdi_version_ = v; }
  const usb::InterfaceDescriptor* ParseConfigurationDescriptor(
      const void* config, const void* start, int interface_number,
      int alternate_setting, int interface_class, int interface_subclass,
      int interface_protocol) override;
  usb::UrbSelectConfiguration* CreateConfigurationRequest(
      const void* config, const usb::InterfaceDescriptor* interface) override;

 private:
  struct PoolBlock {
    size_t bytes;
    bool driver;
  };
  void* Allocate(size_t bytes, bool driver);
  kernel::Irp* NewIrpFor(int8_t stack_size, bool driver);
  void Quarantine(void* block, size_t bytes);  // pool_mutex_ held
  void ReleaseQuarantined(void* block, size_t bytes);
  void WorkerThread();
  void CheckNoRequestHeld(kernel::DeviceObject* device);
  bool ShouldFail();
  bool FailThisKeyCreation();
  kernel::RegistryKey* NewKeyHandle(const std::string& lower);
  void FinishRequest(kernel::Irp* irp);
  NtStatus Dispatch(kernel::DeviceObject* device, kernel::Irp* irp);
  void CheckDispatchResult(const RoutineFrame& frame, NtStatus status);
  kernel::DeviceObject* FindDevice(const std::u16string& name) const;

  mutable std::mutex pool_mutex_;
  std::unordered_map<void*, PoolBlock> live_;
  std::unordered_set<kernel::Irp*> irps_;
  // MDLs over a caller's pages locked for writing, and their requests.
  std::unordered_map<kernel::Mdl*, kernel::Irp*> write_locks_;
  // Freed blocks stay poisoned and out of reuse for a while, so a late
  // access finds poison rather than someone else's data.
  std::deque<std::pair<void*, size_t>> quarantine_;
  size_t quarantine_bytes_ = 0;
  uint64_t allocations_ = 0;
  int64_t fail_at_ = -1;

  mutable std::mutex objects_mutex_;
  std::set<kernel::DeviceObject*> devices_;
  std::map<std::u16string, std::u16string> links_;  // lower-case link -> name
  std::set<kernel::DriverObject*> drivers_;

  std::recursive_mutex cancel_mutex_;  // the system cancel spin lock

  mutable std::mutex registry_mutex_;
  int failing_key_creations_ = 0;
  std::unique_ptr<RegistryHive> hive_;
  std::set<kernel::RegistryKey*> open_keys_;

  uint32_t usbdi_version_ = 0x600;
  std::atomic<size_t> thread_references_{0};

  // The system worker thread of the delayed work queue, started with the
  // first work item.
  std::mutex work_mutex_;
  std::condition_variable work_changed_;
  std::deque<
      std::pair<kernel::WorkItem*, std::pair<kernel::WorkItemRoutine, void*>>>
      work_;
  int work_running_ = 0;
  bool work_stop_ = false;
  std::thread worker_;
};

std::string Utf8(const std::u16string& s);
std::u16string Utf16(const std::string& s);
std::u16string LowerCase(std::u16string s);

}  // namespace vk::sim
