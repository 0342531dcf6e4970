// A device link opened through the host's CreateFileA: the Win32 file calls
// (DeviceIoControl, ReadFile, WriteFile, GetOverlappedResult, CancelIoEx,
// CloseHandle) carried out as requests of the simulated I/O manager, with
// Windows' synchronous and overlapped semantics and last-error codes.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "platform/host/host_objects.h"
#include "platform/host/win32_api.h"
#include "sim/kernel/io_manager.h"

namespace vk::world {

// The Win32 error that Windows reports for a request's final status.
DWORD Win32ErrorOf(NtStatus status);

// Pending requests keep the file alive: a handle may be closed while its
// last completion is still signalling.
class DeviceFile final : public host::HostFile,
                         public std::enable_shared_from_this<DeviceFile> {
 public:
  DeviceFile(sim::IoManager& io, std::shared_ptr<sim::OpenFile> file,
             bool overlapped);

  BOOL DeviceIoControl(DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                       DWORD out_size, LPDWORD returned,
                       LPOVERLAPPED overlapped) override;
  BOOL Read(LPVOID buffer, DWORD size, LPDWORD read,
            LPOVERLAPPED overlapped) override;
  BOOL Write(LPCVOID buffer, DWORD size, LPDWORD written,
             LPOVERLAPPED overlapped) override;
  BOOL GetOverlappedResult(LPOVERLAPPED overlapped, LPDWORD transferred,
                           BOOL wait) override;
  BOOL Cancel(LPOVERLAPPED overlapped) override;
  void OnClose() override;

 private:
  using Start = std::function<NtStatus(sim::IoManager::Completion,
                                       kernel::Irp**)>;
  // A completion that came before the dispatch routine returned.
  struct EarlyCompletion {
    bool dispatched = false;
    bool completed = false;
    kernel::IoStatus io{};
  };
  BOOL Issue(const Start& start, LPDWORD transferred, LPOVERLAPPED overlapped);
  BOOL WaitFor(LPOVERLAPPED overlapped, LPDWORD transferred);

  sim::IoManager& io_;
  std::shared_ptr<sim::OpenFile> file_;
  const bool overlapped_;
  std::mutex mutex_;
  std::condition_variable completed_;
  std::map<LPOVERLAPPED, kernel::Irp*> requests_;
};

}  // namespace vk::world
