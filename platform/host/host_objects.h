// Kernel objects behind the host's HANDLEs. The simulated I/O manager derives
// its device files from HostFile; events and files share one handle table so
// that CloseHandle and the wait functions work on all of them.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/host/win32_types.h"



namespace vk::host {

class VKHOST_EXPORT HostObject {
 public:
  virtual ~HostObject();
  // Called when the last handle to the object is closed.
  virtual void OnClose() {}
};

class VKHOST_EXPORT HostEvent : public HostObject {
 public:
  HostEvent(bool manual_reset, bool signalled)
      : manual_reset_(manual_reset), signalled_(signalled) {}
  void Set();
  void Reset();
  // True when signalled within `milliseconds` (INFINITE waits for ever);
  // an auto-reset event is reset by the wait that sees it.
  bool Wait(DWORD milliseconds);
  bool IsSignalled();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  const bool manual_reset_;
  bool signalled_;
};

// A file or device opened with CreateFileA. Each call reports failure by
// returning FALSE after SetLastError, as the Win32 call it implements.
class VKHOST_EXPORT HostFile : public HostObject {
 public:
  virtual BOOL DeviceIoControl(DWORD code, LPVOID in, DWORD in_size,
                               LPVOID out, DWORD out_size, LPDWORD returned,
                               LPOVERLAPPED overlapped);
  virtual BOOL Read(LPVOID buffer, DWORD size, LPDWORD read,
                    LPOVERLAPPED overlapped);
  virtual BOOL Write(LPCVOID buffer, DWORD size, LPDWORD written,
                     LPOVERLAPPED overlapped);
  virtual BOOL GetOverlappedResult(LPOVERLAPPED overlapped,
                                   LPDWORD transferred, BOOL wait);
  virtual BOOL Cancel(LPOVERLAPPED overlapped);
};

VKHOST_EXPORT HANDLE RegisterHandle(std::shared_ptr<HostObject> object);
VKHOST_EXPORT std::shared_ptr<HostObject> LookupHandle(HANDLE handle);
template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
VKHOST_EXPORT size_t OpenHandleCount();

// Opens device paths ("\\.\..."). Returns the file, or null with *error set.
using DeviceOpener = std::function<std::shared_ptr<HostFile>(
    const char* path, DWORD access, DWORD share, DWORD flags, DWORD* error)>;
// Installs the opener of device paths (the simulated I/O manager); an empty
// function removes it, after which device paths are not found.
VKHOST_EXPORT void SetDeviceOpener(DeviceOpener opener);

// Drops the drawing surface of a destroyed window.
void ForgetWindowSurface(HWND window);

}  // namespace vk::host
