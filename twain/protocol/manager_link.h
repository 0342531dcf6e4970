// CManagerLink: how the data source reaches the TWAIN source manager. A 2.x
// manager hands a DF_DS2 source its entry points (DAT_ENTRYPOINT): notices
// then go through its DSM_Entry, and every block the source hands to the
// application or takes from it comes from its memory functions. Without
// them the source works as with a 1.x manager: notices through
// "twain_32.dll", loaded for each, and the platform's global memory.
#pragma once

#include <cstddef>

#include "twain/protocol/twain.h"

namespace vk::twain {

class CManagerLink {
 public:
  // Keeps the entry points of DAT_ENTRYPOINT MSG_SET; false (nothing kept)
  // when the record is too short for them or one of them is missing.
  bool SetEntryPoints(const TW_ENTRYPOINT& points);
  // DAT_ENTRYPOINT MSG_GET: false when none were handed over.
  bool GetEntryPoints(TW_ENTRYPOINT* points) const;
  bool has_entry_points() const { return entry_points_.DSM_Entry != nullptr; }
  void Forget() { entry_points_ = {}; }

  // The manager's DSM_Entry for one notice, null when no manager can be
  // reached. `*module` receives the library loaded for it (null when the
  // entry points came); hand it to Release after the call.
  DSMENTRYPROC Reach(HMODULE* module) const;
  static void Release(HMODULE module);

  // Zero-filled memory for the application; null when there is none.
  TW_HANDLE Allocate(size_t bytes) const;
  void* Lock(TW_HANDLE handle) const;
  void Unlock(TW_HANDLE handle) const;
  void Free(TW_HANDLE handle) const;
  // The bytes of a block, or kUnknownSize when the manager's memory cannot
  // tell (its functions have no size query).
  static constexpr size_t kUnknownSize = ~size_t{0};
  size_t Size(TW_HANDLE handle) const;

 private:
  TW_ENTRYPOINT entry_points_ = {};
};

}  // namespace vk::twain
