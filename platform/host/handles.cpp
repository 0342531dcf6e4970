// Handle table, last error, events and waits of the Linux host.
#include <chrono>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/host/host_objects.h"
#include "platform/host/win32_api.h"

namespace vk::host {
namespace {

thread_local DWORD g_last_error = 0;

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<HANDLE, std::shared_ptr<HostObject>> objects;
  uintptr_t next = 0x100;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // outlives static destructors
  return *table;
}

}  // namespace

HostObject::~HostObject() = default;

void HostEvent::Set() {
  std::lock_guard lock(mutex_);
  signalled_ = true;
  if (manual_reset_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void HostEvent::Reset() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

bool HostEvent::IsSignalled() {
  std::lock_guard lock(mutex_);
  return signalled_;
}

bool HostEvent::Wait(DWORD milliseconds) {
  std::unique_lock lock(mutex_);
  auto ready = [this] { return signalled_; };
  if (milliseconds == INFINITE) {
    cv_.wait(lock, ready);
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                           ready)) {
    return false;
  }
  if (!manual_reset_) signalled_ = false;
  return true;
}

BOOL HostFile::DeviceIoControl(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                               LPOVERLAPPED) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
BOOL HostFile::Read(LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
BOOL HostFile::Write(LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
BOOL HostFile::GetOverlappedResult(LPOVERLAPPED, LPDWORD, BOOL) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
BOOL HostFile::Cancel(LPOVERLAPPED) {
  SetLastError(ERROR_NOT_FOUND);
  return FALSE;
}

HANDLE RegisterHandle(std::shared_ptr<HostObject> object) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  // Handle values are multiples of 4, never reused within a process, so a
  // stale handle is always recognised as invalid.
  auto handle = reinterpret_cast<HANDLE>(t.next);
  t.next += 4;
  t.objects.emplace(handle, std::move(object));
  return handle;
}

std::shared_ptr<HostObject> LookupHandle(HANDLE handle) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(handle);
  return it == t.objects.end() ? nullptr : it->second;
}

size_t OpenHandleCount() {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  return t.objects.size();
}

std::shared_ptr<HostObject> ReleaseHandle(HANDLE handle) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(handle);
  if (it == t.objects.end()) return nullptr;
  std::shared_ptr<HostObject> object = std::move(it->second);
  t.objects.erase(it);
  return object;
}

}  // namespace vk::host

using vk::host::HostEvent;
using vk::host::LookupHandleAs;

extern "C" {

DWORD GetLastError() { return vk::host::g_last_error; }
void SetLastError(DWORD error) { vk::host::g_last_error = error; }

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset,
                    BOOL initial_state, LPCSTR name) {
  if (name != nullptr) {  // named events are not part of the subset
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return vk::host::RegisterHandle(
      std::make_shared<HostEvent>(manual_reset != 0, initial_state != 0));
}

BOOL SetEvent(HANDLE event) {
  auto e = LookupHandleAs<HostEvent>(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  e->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto e = LookupHandleAs<HostEvent>(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  e->Reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto e = LookupHandleAs<HostEvent>(handle);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return e->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles,
                             BOOL wait_all, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<HostEvent>> events;
  for (DWORD i = 0; i < count; ++i) {
    events.push_back(LookupHandleAs<HostEvent>(handles[i]));
    if (!events.back()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
  }
  // Polls at a millisecond: the waits of this subset are short and rare.
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (wait_all) {
      bool all = true;
      for (auto& e : events) all = all && e->IsSignalled();
      if (all) {
        for (auto& e : events) e->Wait(0);
        return WAIT_OBJECT_0;
      }
    } else {
      for (DWORD i = 0; i < count; ++i) {
        if (events[i]->Wait(0)) return WAIT_OBJECT_0 + i;
      }
    }
    if (milliseconds != INFINITE &&
        std::chrono::steady_clock::now() - start >=
            std::chrono::milliseconds(milliseconds))
      return WAIT_TIMEOUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<vk::host::HostObject> object =
      vk::host::ReleaseHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->OnClose();
  return TRUE;
}

}  // extern "C"
