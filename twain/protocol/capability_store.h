// CCapabilityStore: the data source's capabilities. A fixed table of 38
// rows (35 filled) gives each capability its item type, containers,
// supported operations, accepted values, default and current value, and
// answers the capability triplet with containers from the source manager's
// memory (movable global memory with a 1.x manager).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "twain/protocol/manager_link.h"
#include "twain/protocol/twain.h"

namespace vk::twain {

inline constexpr int kCapabilityRows = 38;
// ICAP_BITDEPTH is kept under this identifier.
inline constexpr TW_UINT16 kBitDepthKey = 0x9002;

// Items as stored: integers at their size, FIX32 as a float, a frame as
// four floats (top, left, right, bottom), STR32 as its 34 bytes.
struct CapabilityValues {
  uint32_t count = 0;
  std::vector<uint8_t> items;
};

struct CapabilityEntry {
  TW_UINT16 id = 0;
  TW_UINT16 item_type = 0;
  TW_UINT16 get_container = 0;
  TW_UINT16 current_container = 0;
  TW_UINT32 operations = 0;
  CapabilityValues list, defaults, current;
};

class CCapabilityStore {
 public:
  // Containers come from, and are read through, `memory` (borrowed; it
  // outlives the store).
  explicit CCapabilityStore(const CManagerLink* memory);

  // The capability triplet for `message`. Sets *condition; `old_protocol`
  // (an application of TWAIN 1.5 or older) maps codes above 12 to
  // TWCC_BADCAP.
  TW_UINT16 Request(TW_UINT16 message, TW_CAPABILITY* capability,
                    TW_UINT16* condition, bool old_protocol);
  const CapabilityEntry* Find(TW_UINT16 id) const;

 private:
  TW_UINT16 Dispatch(TW_UINT16 message, CapabilityEntry& row, TW_CAPABILITY* cap,
                     TW_UINT16* condition);
  TW_UINT16 Set(CapabilityEntry& row, TW_CAPABILITY* cap, TW_UINT16* condition);

  const CManagerLink& memory_;
  std::array<CapabilityEntry, kCapabilityRows> table_;
};

size_t ItemSize(TW_UINT16 item_type);
TW_FIX32 ToFix32(float value);
float FromFix32(TW_FIX32 value);

}  // namespace vk::twain
