#include "twain/protocol/capability_store.h"

#include <cstring>
#include <initializer_list>
#include <string>

namespace vk::twain {
namespace {

// ---- Stored values ----

template <typename T>
CapabilityValues Items(const T* items, size_t count) {
  CapabilityValues v;
  v.count = static_cast<uint32_t>(count);
  v.items.resize(count * sizeof(T));
  if (count) std::memcpy(v.items.data(), items, count * sizeof(T));
  return v;
}

template <typename T>
CapabilityValues Items(std::initializer_list<T> items) {
  return Items(items.begin(), items.size());
}

CapabilityValues Strings(std::initializer_list<const char*> items) {
  CapabilityValues v;
  v.count = static_cast<uint32_t>(items.size());
  for (const char* text : items) {
    char slot[34] = {};
    std::strncpy(slot, text, 33);
    v.items.insert(v.items.end(), slot, slot + sizeof(slot));
  }
  return v;
}

const uint8_t* Item(const CapabilityValues& v, uint32_t index, size_t size) {
  return v.items.data() + index * size;
}

// ---- External form ----

// One item as TWAIN carries it in enumerations and arrays.
void PutItem(TW_UINT16 type, const uint8_t* stored, uint8_t* out) {
  switch (type) {
    case TWTY_FIX32: {
      float f;
      std::memcpy(&f, stored, 4);
      const TW_FIX32 x = ToFix32(f);
      std::memcpy(out, &x, 4);
      break;
    }
    case TWTY_FRAME: {
      float f[4];  // top, left, right, bottom
      std::memcpy(f, stored, sizeof(f));
      const TW_FIX32 frame[4] = {ToFix32(f[1]), ToFix32(f[0]), ToFix32(f[2]), ToFix32(f[3])};
      std::memcpy(out, frame, sizeof(frame));
      break;
    }
    case TWTY_STR32:
      std::memset(out, 0, 34);
      std::memcpy(out, stored, strnlen(reinterpret_cast<const char*>(stored), 32));
      break;
    default:
      std::memcpy(out, stored, ItemSize(type));
  }
}

// One item in a 32-bit cell, smaller items widened with zero fill.
uint32_t Cell(TW_UINT16 type, const uint8_t* stored) {
  uint8_t bytes[4] = {};
  PutItem(type, stored, bytes);
  uint32_t cell;
  std::memcpy(&cell, bytes, 4);
  return cell;
}

// Reads one item of the one-value layout back into its stored form; false
// when the container is too short for it.
bool GetItem(TW_UINT16 type, const uint8_t* in, size_t room, uint8_t* stored) {
  if (room < ItemSize(type)) return false;
  switch (type) {
    case TWTY_FIX32: {
      TW_FIX32 x;
      std::memcpy(&x, in, 4);
      const float f = FromFix32(x);
      std::memcpy(stored, &f, 4);
      return true;
    }
    case TWTY_FRAME: {
      TW_FIX32 x[4];  // left, top, right, bottom
      std::memcpy(x, in, sizeof(x));
      const float f[4] = {FromFix32(x[1]), FromFix32(x[0]), FromFix32(x[2]), FromFix32(x[3])};
      std::memcpy(stored, f, sizeof(f));
      return true;
    }
    case TWTY_STR32:
      std::memset(stored, 0, 34);
      std::memcpy(stored, in, strnlen(reinterpret_cast<const char*>(in), 32));
      return true;
    default:
      std::memcpy(stored, in, ItemSize(type));
      return true;
  }
}

// A block of `bytes` from the manager's memory (or movable global memory),
// filled by `fill`; null when it cannot be had.
template <typename Fill>
HGLOBAL Container(const CManagerLink& memory, size_t bytes, Fill fill) {
  HGLOBAL block = memory.Allocate(bytes);
  if (!block) return nullptr;
  auto* p = static_cast<uint8_t*>(memory.Lock(block));
  if (!p) {
    memory.Free(block);
    return nullptr;
  }
  std::memset(p, 0, bytes);
  fill(p);
  memory.Unlock(block);
  return block;
}

void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

HGLOBAL OneValue(const CManagerLink& memory, TW_UINT16 type,
                 const uint8_t* stored) {
  const size_t size = ItemSize(type);
  return Container(memory, 6 + size, [&](uint8_t* p) {
    Put16(p, type);
    if (size <= 4) {
      Put32(p + 2, Cell(type, stored));
    } else {
      PutItem(type, stored, p + 2);
    }
  });
}

HGLOBAL Array(const CManagerLink& memory, TW_UINT16 type,
              const CapabilityValues& v) {
  const size_t size = ItemSize(type);
  return Container(memory, 7 + v.count * size, [&](uint8_t* p) {
    Put16(p, type);
    Put32(p + 2, v.count);
    for (uint32_t i = 0; i < v.count; ++i) PutItem(type, Item(v, i, size), p + 6 + i * size);
  });
}

// The position of `value` in the list, byte for byte; the count when absent.
uint32_t IndexOf(const CapabilityValues& list, const CapabilityValues& value, size_t size) {
  if (value.count == 0) return list.count;
  for (uint32_t i = 0; i < list.count; ++i)
    if (std::memcmp(Item(list, i, size), value.items.data(), size) == 0) return i;
  return list.count;
}

HGLOBAL Enumeration(const CManagerLink& memory, const CapabilityEntry& row) {
  const size_t size = ItemSize(row.item_type);
  return Container(memory, 15 + row.list.count * size, [&](uint8_t* p) {
    Put16(p, row.item_type);
    Put32(p + 2, row.list.count);
    Put32(p + 6, IndexOf(row.list, row.current, size));
    Put32(p + 10, IndexOf(row.list, row.defaults, size));
    for (uint32_t i = 0; i < row.list.count; ++i)
      PutItem(row.item_type, Item(row.list, i, size), p + 14 + i * size);
  });
}

HGLOBAL Range(const CManagerLink& memory, const CapabilityEntry& row) {
  const size_t size = ItemSize(row.item_type);
  return Container(memory, sizeof(TW_RANGE), [&](uint8_t* p) {
    Put16(p, row.item_type);
    for (uint32_t i = 0; i < 3 && i < row.list.count; ++i)
      Put32(p + 2 + 4 * i, Cell(row.item_type, Item(row.list, i, size)));
    Put32(p + 14, Cell(row.item_type, row.defaults.items.data()));
    Put32(p + 18, Cell(row.item_type, row.current.items.data()));
  });
}

// ---- The table ----

struct RowSpec {
  TW_UINT16 id, type, get_container;
  TW_UINT32 operations;
  CapabilityValues list, defaults;
};

std::vector<RowSpec> TableRows() {
  using u16 = uint16_t;
  const u16 T = 1, F = 0;
  const float kFrame[4] = {0.0f, 0.0f, 11.0f, 11.0f};  // top, left, right, bottom
  CapabilityValues frame = Items(kFrame, 4);
  frame.count = 1;  // one frame of four edges
  int16_t counts[26] = {-1};
  for (int16_t n = 1; n <= 25; ++n) counts[n] = n;
  const CapabilityValues transfers = Items(counts, 26);
  const CapabilityValues supported = Items<u16>(
      {0x1005, 0x111F, 0x0103, 0x1120, 0x0100, 0x1111, 0x1112, 0x1130, 0x1131,
       0x0102, 0x100F, 0x1007, 0x1003, 0x1100, 0x1101, 0x1103, 0x110A, 0x1110,
       0x1113, 0x112B, 0x0101, 0x112C, 0x111C, 0x1109, 0x1123, 0x1114, 0x111A,
       0x1116, 0x1119, 0x0001, 0x110C, 0x112D, 0x100B, 0x100E, 0x1122, 0});
  return {
      {CAP_SUPPORTEDCAPS, TWTY_UINT16, TWON_ARRAY, 0x0D, supported, supported},
      {ICAP_PIXELFLAVOR, TWTY_UINT16, TWON_ENUMERATION, 0x1F, Items<u16>({0, 1}), Items<u16>({0})},
      {ICAP_XFERMECH, TWTY_UINT16, TWON_ENUMERATION, 0x1F, Items<u16>({0, 1, 2}), Items<u16>({0})},
      {ICAP_PLANARCHUNKY, TWTY_UINT16, TWON_ENUMERATION, 0x0D, Items<u16>({0}), Items<u16>({0})},
      {ICAP_COMPRESSION, TWTY_UINT16, TWON_ENUMERATION, 0x1F, Items<u16>({0}), Items<u16>({0})},
      {ICAP_MINIMUMWIDTH, TWTY_FIX32, TWON_ONEVALUE, 0x0D, Items<float>({1.0f}), Items<float>({1.0f})},
      {ICAP_MINIMUMHEIGHT, TWTY_FIX32, TWON_ONEVALUE, 0x0D, Items<float>({1.0f}), Items<float>({1.0f})},
      {ICAP_PHYSICALWIDTH, TWTY_FIX32, TWON_ONEVALUE, 0x0D, Items<float>({8.5f}), Items<float>({8.5f})},
      {ICAP_PHYSICALHEIGHT, TWTY_FIX32, TWON_ONEVALUE, 0x0D, Items<float>({11.0f}), Items<float>({11.0f})},
      {ICAP_UNITS, TWTY_UINT16, TWON_ENUMERATION, 0x1F, Items<u16>({0, 1, 5}), Items<u16>({0})},
      {CAP_DEVICEONLINE, TWTY_BOOL, TWON_ONEVALUE, 0x0D, Items<u16>({T, F}), Items<u16>({T})},
      {CAP_AUTOFEED, TWTY_BOOL, TWON_ONEVALUE, 0x0D, Items<u16>({T, F}), Items<u16>({F})},
      {CAP_FEEDERLOADED, TWTY_BOOL, TWON_ONEVALUE, 0x0D, Items<u16>({F, T}), Items<u16>({F})},
      {ICAP_AUTOBRIGHT, TWTY_BOOL, TWON_ONEVALUE, 0x1F, Items<u16>({T, F}), Items<u16>({F})},
      {ICAP_BRIGHTNESS, TWTY_FIX32, TWON_RANGE, 0x1F, Items<float>({-1000, 1000, 1000}), Items<float>({0})},
      {ICAP_CONTRAST, TWTY_FIX32, TWON_RANGE, 0x1F, Items<float>({-1000, 1000, 1000}), Items<float>({0})},
      {ICAP_HIGHLIGHT, TWTY_FIX32, TWON_RANGE, 0x1F, Items<float>({0, 255, 1}), Items<float>({128})},
      {ICAP_ORIENTATION, TWTY_UINT16, TWON_ENUMERATION, 0x1F, Items<u16>({0}), Items<u16>({0})},
      {ICAP_SHADOW, TWTY_FIX32, TWON_RANGE, 0x1F, Items<float>({0, 255, 1}), Items<float>({128})},
      {kBitDepthKey, TWTY_UINT16, TWON_ENUMERATION, 0x1F, Items<u16>({24}), Items<u16>({24})},
      {ICAP_PIXELTYPE, TWTY_UINT16, TWON_ENUMERATION, 0x1F, Items<u16>({2, 2}), Items<u16>({2})},
      {ICAP_BITDEPTHREDUCTION, TWTY_UINT16, TWON_ENUMERATION, 0x1F, Items<u16>({0, 1, 3}), Items<u16>({0})},
      {ICAP_BITORDER, TWTY_UINT16, TWON_ENUMERATION, 0x0D, Items<u16>({1, 0}), Items<u16>({1})},
      {ICAP_THRESHOLD, TWTY_FIX32, TWON_RANGE, 0x1F, Items<float>({0, 255, 1}), Items<float>({128})},
      {ICAP_HALFTONES, TWTY_STR32, TWON_ENUMERATION, 0x1F, Strings({"FLOYD/STEINBURG", "ORDERED"}),
       Strings({"FLOYD/STEINBURG"})},
      {ICAP_FRAMES, TWTY_FRAME, TWON_ONEVALUE, 0x1F, frame, frame},
      {ICAP_MAXFRAMES, TWTY_UINT16, TWON_ONEVALUE, 0x0D, Items<u16>({1}), Items<u16>({1})},
      {ICAP_XNATIVERESOLUTION, TWTY_FIX32, TWON_ONEVALUE, 0x0D, Items<float>({100}), Items<float>({100})},
      {ICAP_YNATIVERESOLUTION, TWTY_FIX32, TWON_ONEVALUE, 0x0D, Items<float>({100}), Items<float>({100})},
      {CAP_XFERCOUNT, TWTY_INT16, TWON_ONEVALUE, 0x1F, transfers, Items<int16_t>({-1})},
      {ICAP_IMAGEFILEFORMAT, TWTY_UINT16, TWON_ENUMERATION, 0x1F, Items<u16>({TWFF_BMP}), Items<u16>({TWFF_BMP})},
      {ICAP_UNDEFINEDIMAGESIZE, TWTY_BOOL, TWON_ONEVALUE, 0x1F, Items<u16>({F, T}), Items<u16>({F})},
      {CAP_INDICATORS, TWTY_BOOL, TWON_ONEVALUE, 0x1F, Items<u16>({T, F}), Items<u16>({T})},
      {CAP_UICONTROLLABLE, TWTY_BOOL, TWON_ONEVALUE, 0x0D, Items<u16>({T, F}), Items<u16>({T})},
      {ICAP_SUPPORTEDSIZES, TWTY_UINT16, TWON_ENUMERATION, 0x1F, Items<u16>({3}), Items<u16>({3})},
  };
}

}  // namespace

size_t ItemSize(TW_UINT16 type) {
  switch (type) {
    case TWTY_INT8:
    case TWTY_UINT8: return 1;
    case TWTY_INT16:
    case TWTY_UINT16:
    case TWTY_BOOL: return 2;
    case TWTY_INT32:
    case TWTY_UINT32:
    case TWTY_FIX32: return 4;
    case TWTY_FRAME: return 16;
    case TWTY_STR32: return 34;
    default: return 0;
  }
}

TW_FIX32 ToFix32(float value) {
  const auto n = static_cast<int32_t>(value * 65536.0 + 0.5);
  return {static_cast<TW_INT16>(n >> 16), static_cast<TW_UINT16>(n & 0xFFFF)};
}

float FromFix32(TW_FIX32 value) {
  return static_cast<float>(value.Whole + value.Frac / 65536.0);
}

CCapabilityStore::CCapabilityStore(const CManagerLink* memory)
    : memory_(*memory) {
  int i = 0;
  for (RowSpec& spec : TableRows()) {
    CapabilityEntry& row = table_[i++];
    row.id = spec.id;
    row.item_type = spec.type;
    row.get_container = spec.get_container;
    row.current_container = spec.id == CAP_SUPPORTEDCAPS ? TWON_ARRAY : TWON_ONEVALUE;
    row.operations = spec.operations;
    row.list = std::move(spec.list);
    row.defaults = spec.defaults;
    row.current = std::move(spec.defaults);
  }
}

const CapabilityEntry* CCapabilityStore::Find(TW_UINT16 id) const {
  if (id == ICAP_BITDEPTH) id = kBitDepthKey;
  for (const CapabilityEntry& row : table_)
    if (row.id == id) return &row;
  return nullptr;
}

TW_UINT16 CCapabilityStore::Request(TW_UINT16 message, TW_CAPABILITY* cap,
                                    TW_UINT16* condition, bool old_protocol) {
  *condition = TWCC_CAPUNSUPPORTED;
  const CapabilityEntry* found = Find(cap->Cap);
  TW_UINT16 result = TWRC_FAILURE;
  if (found) {
    CapabilityEntry& row = table_[found - table_.data()];
    result = Dispatch(message, row, cap, condition);
  }
  if (old_protocol && *condition > 12) *condition = TWCC_BADCAP;
  return result;
}

TW_UINT16 CCapabilityStore::Dispatch(TW_UINT16 message, CapabilityEntry& row,
                                     TW_CAPABILITY* cap, TW_UINT16* condition) {
  auto needs = [&](TW_UINT32 bit) {
    if (row.operations & bit) return true;
    *condition = TWCC_CAPBADOPERATION;
    return false;
  };
  const bool array = row.current_container == TWON_ARRAY;
  HGLOBAL block = nullptr;
  TW_UINT16 container = row.current_container;
  switch (message) {
    case MSG_GET:
      if (row.id == CAP_FEEDERLOADED) row.current = Items<uint16_t>({0});
      if (!needs(TWQC_GET)) return TWRC_FAILURE;
      container = row.get_container;
      switch (container) {
        case TWON_ARRAY: block = Array(memory_, row.item_type, row.list); break;
        case TWON_ENUMERATION: block = Enumeration(memory_, row); break;
        case TWON_RANGE: block = Range(memory_, row); break;
        default: block = OneValue(memory_, row.item_type, row.current.items.data());
      }
      break;
    case MSG_GETCURRENT:
      if (!needs(TWQC_GETCURRENT)) return TWRC_FAILURE;
      block = array ? Array(memory_, row.item_type, row.current)
                    : OneValue(memory_, row.item_type, row.current.items.data());
      break;
    case MSG_RESET:
      if (!needs(TWQC_RESET)) return TWRC_FAILURE;
      row.current = row.defaults;
      [[fallthrough]];
    case MSG_GETDEFAULT:
      if (message == MSG_GETDEFAULT && !needs(TWQC_GETDEFAULT)) return TWRC_FAILURE;
      block = array
                  ? Array(memory_, row.item_type, row.defaults)
                  : OneValue(memory_, row.item_type, row.defaults.items.data());
      break;
    case MSG_SET:
      if (!needs(TWQC_SET)) return TWRC_FAILURE;
      return Set(row, cap, condition);
    case MSG_QUERYSUPPORT: {
      const uint32_t mask = row.operations;
      container = TWON_ONEVALUE;
      block = OneValue(memory_, TWTY_UINT32,
                       reinterpret_cast<const uint8_t*>(&mask));
      break;
    }
    default:
      return TWRC_FAILURE;  // TWCC_CAPUNSUPPORTED stands
  }
  if (!block) {
    *condition = TWCC_LOWMEMORY;
    return TWRC_FAILURE;
  }
  cap->ConType = container;
  cap->hContainer = block;
  *condition = TWCC_SUCCESS;
  return TWRC_SUCCESS;
}

TW_UINT16 CCapabilityStore::Set(CapabilityEntry& row, TW_CAPABILITY* cap,
                                TW_UINT16* condition) {
  *condition = TWCC_BADVALUE;
  const auto* p = static_cast<const uint8_t*>(memory_.Lock(cap->hContainer));
  if (!p) return TWRC_FAILURE;
  const size_t size = ItemSize(row.item_type);
  // The manager's memory has no size query: its container is taken to hold
  // the one value it is read as.
  size_t room = memory_.Size(cap->hContainer);
  if (room == CManagerLink::kUnknownSize) room = 2 + size;
  TW_UINT16 type = 0;
  uint8_t value[34];
  bool read = room >= 2;
  if (read) {
    std::memcpy(&type, p, 2);
    read = type == row.item_type && size > 0 && GetItem(type, p + 2, room - 2, value);
  }
  memory_.Unlock(cap->hContainer);
  if (!read) return TWRC_FAILURE;
  for (uint32_t i = 0; i < row.list.count; ++i) {
    if (std::memcmp(Item(row.list, i, size), value, size) != 0) continue;
    row.current.count = 1;
    row.current.items.assign(value, value + size);
    *condition = TWCC_SUCCESS;
    return TWRC_SUCCESS;
  }
  return TWRC_FAILURE;
}

}  // namespace vk::twain
