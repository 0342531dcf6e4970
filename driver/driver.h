// The routines of the vku2cam driver, grouped by the file that holds them.
#pragma once

#include "driver/device_extension.h"
#include "driver/kernel_port.h"

namespace vk::drv {

// driver_entry.cpp: entry, AddDevice, unload, instance numbers.
NtStatus DriverEntry(kernel::KernelPort& port, kernel::DriverObject* driver,
                     const char16_t* registry_path);
NtStatus AddDevice(kernel::DriverObject* driver, kernel::DeviceObject* pdo);
void Unload(kernel::DriverObject* driver);
void ReleaseInstance(DriverState* state, uint8_t instance);

// instance_config.cpp: the camera's settings under the service key.
NtStatus ReadInstanceConfig(kernel::KernelPort& port,
                            const char16_t* service_key_path,
                            uint8_t instance, InstanceConfig* config);

// urb_submit.cpp: one zero-filled URB from non-paged pool, sent and waited for.
void* AllocateUrb(kernel::KernelPort& port, size_t bytes);
NtStatus SubmitUrb(DeviceExtension* ext, usb::UrbHeader* urb);

// usb_config.cpp: descriptors, configuration, interfaces and pipes.
// Bytes received, 0 when the request failed.
uint32_t ReadDescriptor(DeviceExtension* ext, uint8_t type, uint8_t index,
                        uint16_t language, void* buffer, uint32_t length);
bool ReadDeviceDescriptor(DeviceExtension* ext);
NtStatus Configure(DeviceExtension* ext);
NtStatus SelectInterface(DeviceExtension* ext, uint8_t interface_number,
                         uint8_t alternate_setting);
// A copy of the pipe at `index` of the interface record in force.
enum class PipeLookup { kFound, kNoRecord, kBadIndex };
PipeLookup FindPipe(DeviceExtension* ext, uint32_t index,
                    usb::PipeInformation* pipe);
// kStatusUnsuccessful without record, kStatusInvalidParameter for an index.
NtStatus PipeLookupStatus(PipeLookup lookup);
NtStatus ResetPipe(DeviceExtension* ext, uint32_t index);
NtStatus AbortPipe(DeviceExtension* ext, usb::UsbdPipeHandle pipe);
// Aborts the pipe at `index` of the interface record; refuses an index that
// is not below the pipe count, or a camera without record.
NtStatus AbortPipeAt(DeviceExtension* ext, uint32_t index);
NtStatus Unconfigure(DeviceExtension* ext);

// io_count.cpp: the pending-I/O count and passing requests down.
bool EnterIo(DeviceExtension* ext);
void LeaveIo(DeviceExtension* ext);
NtStatus ForwardAndWait(DeviceExtension* ext, kernel::Irp* irp);
NtStatus PassDown(DeviceExtension* ext, kernel::Irp* irp);
NtStatus CompleteWith(kernel::KernelPort& port, kernel::Irp* irp,
                      NtStatus status, uintptr_t information = 0);

// open_close.cpp, device_control.cpp, read_write.cpp: the device link.
// The file context of every open handle: it names pipe index 1 as the pipe
// that ReadFile uses.
void* ReadPipeContext();
NtStatus DispatchCreate(kernel::DeviceObject* device, kernel::Irp* irp);
NtStatus DispatchCleanup(kernel::DeviceObject* device, kernel::Irp* irp);
NtStatus DispatchClose(kernel::DeviceObject* device, kernel::Irp* irp);
NtStatus DispatchDeviceControl(kernel::DeviceObject* device, kernel::Irp* irp);
NtStatus DispatchReadWrite(kernel::DeviceObject* device, kernel::Irp* irp);
// The request's output, for the driver (or the device through a URB) to
// write into. A METHOD_OUT_DIRECT output is locked for writing already; a
// METHOD_IN_DIRECT one only for reading, so the caller's range is locked
// again for writing, until this goes (before the request completes). In
// the dispatch routine only: the lock needs the caller's context.
class WritableOutput {
 public:
  // Nothing is locked unless `wanted`.
  WritableOutput(kernel::KernelPort& port, kernel::Irp* irp,
                 uint32_t control_code, bool wanted = true);
  ~WritableOutput();
  WritableOutput(const WritableOutput&) = delete;
  WritableOutput& operator=(const WritableOutput&) = delete;
  // Why there is no MDL: the request has no output, or the caller may not
  // write it (the probe's status).
  NtStatus status() const { return status_; }
  kernel::Mdl* mdl() const { return mdl_; }

 private:
  kernel::KernelPort& port_;
  kernel::Mdl* mdl_ = nullptr;
  kernel::Mdl* relocked_ = nullptr;
  NtStatus status_ = kStatusSuccess;
};
// Bulk transfer on a pipe chosen by index (IOCTL_BULK_READ and _WRITE).
NtStatus BulkTransfer(DeviceExtension* ext, kernel::Irp* irp,
                      const kernel::StackLocation& stack, uintptr_t* information);

// iso_transfer.cpp: synchronous isochronous transfers and streaming.
NtStatus IsoTransfer(DeviceExtension* ext, kernel::Irp* irp,
                     const kernel::StackLocation& stack);
NtStatus StartIsoStream(DeviceExtension* ext, kernel::Irp* irp,
                        const kernel::StackLocation& stack);
NtStatus ReadIsoBuffer(DeviceExtension* ext, kernel::Irp* irp,
                       const kernel::StackLocation& stack,
                       uintptr_t* information);

// stream_ring.cpp: the rings of a stream. Dispatch level.
StreamRing* NewStreamRing(kernel::KernelPort& port, uint32_t capacity);
void FreeStreamRing(kernel::KernelPort& port, StreamRing* ring);
// Appends all `k` bytes or none (returns 0 when they do not fit).
uint32_t RingAppend(kernel::KernelPort& port, StreamRing* ring,
                    const uint8_t* bytes, uint32_t k);
// Takes up to `k` bytes; 0 when `k` exceeds the capacity or the ring is empty.
uint32_t RingTake(kernel::KernelPort& port, StreamRing* ring, uint8_t* dest,
                  uint32_t k);

// token.cpp: the camera access token shared by all cameras.
// Completes the request itself, or returns kStatusPending with it queued.
NtStatus AcquireToken(DeviceExtension* ext, kernel::Irp* irp);
NtStatus ReleaseToken(DeviceExtension* ext);
void TokenCloseCleanup(DeviceExtension* ext, kernel::FileObject* file);
// Removal: a waiting acquire of this camera completes cancelled.
void CancelWaitingAcquire(DeviceExtension* ext);

// pnp.cpp and power.cpp.
NtStatus DispatchPnp(kernel::DeviceObject* device, kernel::Irp* irp);
NtStatus DispatchPower(kernel::DeviceObject* device, kernel::Irp* irp);

// registration.cpp: the entries that make the camera visible to video
// applications, written by a thread started at each start.
void RegistrationThread(void* device_object);
void RemoveRegistration(DeviceExtension* ext);

}  // namespace vk::drv
