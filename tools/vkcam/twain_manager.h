// vkcam twain's TWAIN source manager, played as the TWAIN Working Group's
// 2.x manager behaves: it hands a source whose identity carries DF_DS2 its
// entry points (DAT_ENTRYPOINT) before opening it, keeps the source's
// notices until the application takes them,
// and all memory between source and application is its own: on Linux plain
// allocations whose handle is the memory, on Windows fixed global memory.
// As a 1.x manager (version 1) it hands nothing over: the source reaches
// this program's DSM_Entry as "twain_32.dll" and memory is the platform's
// movable global memory.
#pragma once

#include <cstddef>
#include <functional>

#include "twain/protocol/twain.h"

namespace vk::tools {

class TwainManager {
 public:
  explicit TwainManager(int version);
  int version() const { return version_; }

  // A source's DS_Entry.
  using Entry = std::function<twain::TW_UINT16(
      twain::TW_IDENTITY*, twain::TW_UINT32, twain::TW_UINT16, twain::TW_UINT16,
      twain::TW_MEMREF)>;
  // Opens the source behind `entry` for `app`, as the manager does.
  twain::TW_UINT16 OpenSource(const Entry& entry, twain::TW_IDENTITY* app,
                              twain::TW_IDENTITY* source) const;
  // The notice the source sent the application, taken; MSG_NULL when none.
  static twain::TW_UINT16 TakeNotice();

  // The application's memory functions (what DAT_ENTRYPOINT gives it).
  twain::TW_HANDLE Allocate(size_t bytes) const;
  void* Lock(twain::TW_HANDLE handle) const;
  void Unlock(twain::TW_HANDLE handle) const;
  void Free(twain::TW_HANDLE handle) const;

 private:
  int version_;
};

}  // namespace vk::tools
