#include "sim/world/device_file.h"

#include <future>

namespace vk::world {
namespace {

// OVERLAPPED.Internal is written by the completing thread and read by the
// caller's: release and acquire, with InternalHigh written before it.
NtStatus LoadStatus(const OVERLAPPED* o) {
  return static_cast<NtStatus>(__atomic_load_n(&o->Internal, __ATOMIC_ACQUIRE));
}
void StoreStatus(OVERLAPPED* o, NtStatus status) {
  __atomic_store_n(&o->Internal,
                   static_cast<ULONG_PTR>(static_cast<uint32_t>(status)),
                   __ATOMIC_RELEASE);
}

// Severity "error": the top two bits set.
bool NtError(NtStatus status) {
  return (static_cast<uint32_t>(status) >> 30) == 3;
}

BOOL Finish(NtStatus status) {
  if (NtSuccess(status)) return TRUE;
  SetLastError(Win32ErrorOf(status));
  return FALSE;
}

}  // namespace

DWORD Win32ErrorOf(NtStatus status) {
  switch (status) {
    case kStatusSuccess: return ERROR_SUCCESS;
    case kStatusPending: return ERROR_IO_PENDING;
    case kStatusCancelled: return ERROR_OPERATION_ABORTED;
    case kStatusInvalidParameter: return ERROR_INVALID_PARAMETER;
    case kStatusInvalidHandle: return ERROR_INVALID_HANDLE;
    case kStatusDeviceNotConnected: return ERROR_DEVICE_NOT_CONNECTED;
    case kStatusDeletePending: return ERROR_ACCESS_DENIED;
    case kStatusNoMemory: return ERROR_NOT_ENOUGH_MEMORY;
    case kStatusInsufficientResources: return 1450;  // ERROR_NO_SYSTEM_RESOURCES
    case kStatusBufferTooSmall: return ERROR_INSUFFICIENT_BUFFER;
    case kStatusInvalidDeviceState: return 22;  // ERROR_BAD_COMMAND
    case kStatusInvalidDeviceRequest: return 1;  // ERROR_INVALID_FUNCTION
    case kStatusObjectNameNotFound:
    case kStatusNoSuchDevice: return ERROR_FILE_NOT_FOUND;
    case kStatusNotSupported: return ERROR_NOT_SUPPORTED;
    default: return ERROR_GEN_FAILURE;
  }
}

DeviceFile::DeviceFile(sim::IoManager& io, std::shared_ptr<sim::OpenFile> file,
                       bool overlapped)
    : io_(io), file_(std::move(file)), overlapped_(overlapped) {}

BOOL DeviceFile::Issue(const Start& start, LPDWORD transferred,
                       LPOVERLAPPED overlapped) {
  if (overlapped == nullptr) {
    // Without an OVERLAPPED the call waits, whatever the handle's mode.
    std::promise<kernel::IoStatus> result;
    start([&result](const kernel::IoStatus& io) { result.set_value(io); },
          nullptr);
    const kernel::IoStatus io = result.get_future().get();
    if (transferred) *transferred = static_cast<DWORD>(io.information);
    return Finish(io.status);
  }
  overlapped->InternalHigh = 0;
  StoreStatus(overlapped, kStatusPending);
  if (overlapped->hEvent) ResetEvent(overlapped->hEvent);
  // Windows writes a request's result into the OVERLAPPED and signals its
  // event only when the request pended or did not fail: one its driver fails
  // at once leaves both untouched, and the call's FALSE is the caller's only
  // news of it. A completion before the dispatch routine has returned is
  // therefore held until its returned status is known.
  auto early = std::make_shared<EarlyCompletion>();  // under mutex_
  kernel::Irp* request = nullptr;
  const NtStatus dispatched = start(
      [this, self = shared_from_this(), overlapped,
       early](const kernel::IoStatus& io) {
        HANDLE event = overlapped->hEvent;
        {
          std::lock_guard lock(mutex_);
          if (!early->dispatched) {
            early->completed = true;
            early->io = io;
            return;
          }
          requests_.erase(overlapped);
          overlapped->InternalHigh = io.information;
          StoreStatus(overlapped, io.status);
        }
        completed_.notify_all();
        if (event) SetEvent(event);
      },
      &request);
  bool signal = false;
  {
    std::lock_guard lock(mutex_);
    early->dispatched = true;
    if (!early->completed) {
      requests_[overlapped] = request;
    } else if (dispatched != kStatusPending && NtError(early->io.status)) {
      if (transferred) *transferred = 0;
      SetLastError(Win32ErrorOf(early->io.status));
      return FALSE;
    } else {
      overlapped->InternalHigh = early->io.information;
      StoreStatus(overlapped, early->io.status);
      signal = true;
    }
  }
  if (signal) {
    completed_.notify_all();
    if (overlapped->hEvent) SetEvent(overlapped->hEvent);
  }
  if (!overlapped_) return WaitFor(overlapped, transferred);
  const NtStatus status = LoadStatus(overlapped);
  if (status == kStatusPending) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  if (transferred) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  return Finish(status);
}

BOOL DeviceFile::WaitFor(LPOVERLAPPED overlapped, LPDWORD transferred) {
  {
    std::unique_lock lock(mutex_);
    completed_.wait(lock, [&] { return LoadStatus(overlapped) != kStatusPending; });
  }
  if (transferred) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  return Finish(LoadStatus(overlapped));
}

BOOL DeviceFile::DeviceIoControl(DWORD code, LPVOID in, DWORD in_size,
                                 LPVOID out, DWORD out_size, LPDWORD returned,
                                 LPOVERLAPPED overlapped) {
  return Issue(
      [&](sim::IoManager::Completion done, kernel::Irp** request) {
        return io_.DeviceControl(*file_, code, in, in_size, out, out_size,
                                 std::move(done), request);
      },
      returned, overlapped);
}

BOOL DeviceFile::Read(LPVOID buffer, DWORD size, LPDWORD read,
                      LPOVERLAPPED overlapped) {
  return Issue(
      [&](sim::IoManager::Completion done, kernel::Irp** request) {
        return io_.Read(*file_, false, buffer, size, std::move(done), request);
      },
      read, overlapped);
}

BOOL DeviceFile::Write(LPCVOID buffer, DWORD size, LPDWORD written,
                       LPOVERLAPPED overlapped) {
  return Issue(
      [&](sim::IoManager::Completion done, kernel::Irp** request) {
        return io_.Read(*file_, true, const_cast<void*>(buffer), size,
                        std::move(done), request);
      },
      written, overlapped);
}

BOOL DeviceFile::GetOverlappedResult(LPOVERLAPPED overlapped,
                                     LPDWORD transferred, BOOL wait) {
  if (overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (LoadStatus(overlapped) == kStatusPending && !wait) {
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  return WaitFor(overlapped, transferred);
}

BOOL DeviceFile::Cancel(LPOVERLAPPED overlapped) {
  kernel::Irp* request = nullptr;
  if (overlapped != nullptr) {
    std::lock_guard lock(mutex_);
    auto it = requests_.find(overlapped);
    if (it == requests_.end()) {
      SetLastError(ERROR_NOT_FOUND);
      return FALSE;
    }
    request = it->second;
  }
  // The I/O manager checks that the request is still outstanding.
  if (!io_.Cancel(*file_, request)) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

void DeviceFile::OnClose() { io_.Close(file_); }

}  // namespace vk::world
