// Fuzzes the TWAIN data source: random triplets in random states, with
// random and malformed data (wrong container types and sizes, containers
// too short, unknown messages), one application or two, with or without a
// 2.x source manager's entry points. The data pointer is one of: room to
// spare, null, exactly the triplet's structure and no byte more (so that a
// read or write past it is caught), or that at an address aligned to 2
// bytes only (all TWAIN's packing promises). After each input the state
// must be 3 to 7 and the source must close cleanly.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "twain/protocol/data_source.h"

using namespace vk::twain;

namespace {

const TW_UINT16 kDats[] = {DAT_CAPABILITY,
                           DAT_IDENTITY,
                           DAT_PENDINGXFERS,
                           DAT_SETUPMEMXFER,
                           DAT_SETUPFILEXFER,
                           DAT_STATUS,
                           DAT_USERINTERFACE,
                           DAT_XFERGROUP,
                           DAT_EVENT,
                           DAT_ENTRYPOINT,
                           DAT_IMAGEINFO,
                           DAT_IMAGELAYOUT,
                           DAT_IMAGEMEMXFER,
                           DAT_IMAGENATIVEXFER,
                           DAT_IMAGEFILEXFER,
                           DAT_PALETTE8,
                           0x7777};
const TW_UINT16 kMessages[] = {
    MSG_GET,       MSG_GETCURRENT,   MSG_GETDEFAULT, MSG_GETFIRST, MSG_SET,
    MSG_RESET,     MSG_QUERYSUPPORT, MSG_OPENDS,     MSG_CLOSEDS,  MSG_ENABLEDS,
    MSG_DISABLEDS, MSG_PROCESSEVENT, MSG_ENDXFER,    0x0999};

class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool more() const { return p_ < end_; }
  uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  void Fill(void* out, size_t n) {
    auto* o = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < n; ++i) o[i] = Byte();
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// The 2.x manager the source may be handed: its memory is plain
// allocations whose handle is the memory, as the Working Group's manager
// has on Linux; a handle it did not give out is a fault.
std::set<void*>& ManagerBlocks() {
  static auto* blocks = new std::set<void*>;
  return *blocks;
}
TW_UINT16 ManagerEntry(TW_IDENTITY*, TW_IDENTITY*, TW_UINT32, TW_UINT16,
                       TW_UINT16, TW_MEMREF) {
  return TWRC_SUCCESS;
}
TW_HANDLE ManagerAllocate(TW_UINT32 bytes) {
  if (bytes == 0) return nullptr;
  void* p = std::calloc(bytes, 1);
  ManagerBlocks().insert(p);
  return p;
}
void ManagerFree(TW_HANDLE handle) {
  if (!handle) return;
  if (ManagerBlocks().erase(handle) == 0) std::abort();
  std::free(handle);
}
TW_MEMREF ManagerLock(TW_HANDLE handle) {
  if (handle && ManagerBlocks().count(handle) == 0) std::abort();
  return handle;
}
void ManagerUnlock(TW_HANDLE handle) {
  if (handle && ManagerBlocks().count(handle) == 0) std::abort();
}

CDataSource& Source() {
  static auto* source = [] {
    setenv("VKCAM_SIM_CAMERAS", "0", 0);  // opening fails fast: no camera
    setenv("VKCAM_SLEEP_SCALE", "0.01", 0);
    return new CDataSource(false, 1);
  }();
  return *source;
}

// A capability container of random type, length and content, from the
// memory the source uses. The 2.x manager's memory has no size query, so
// the source takes a container to hold the one value it reads: there the
// container has room for the largest (a type and a STR32), whatever its
// content; short ones are fuzzed in global memory, whose size is known.
HGLOBAL RandomContainer(const CDataSource& source, Input& in) {
  size_t size = in.Byte() % 48;
  if (size == 0) return nullptr;
  if (source.manager().has_entry_points()) size = std::max<size_t>(size, 2 + 34);
  HGLOBAL block = source.manager().Allocate(size);
  in.Fill(source.manager().Lock(block), size);
  source.manager().Unlock(block);
  return block;
}

// The size of the structure a triplet's data points to.
size_t DataSize(TW_UINT16 dat) {
  switch (dat) {
    case DAT_CAPABILITY:
      return sizeof(TW_CAPABILITY);
    case DAT_IDENTITY:
      return sizeof(TW_IDENTITY);
    case DAT_PENDINGXFERS:
      return sizeof(TW_PENDINGXFERS);
    case DAT_SETUPMEMXFER:
      return sizeof(TW_SETUPMEMXFER);
    case DAT_SETUPFILEXFER:
      return sizeof(TW_SETUPFILEXFER);
    case DAT_STATUS:
      return sizeof(TW_STATUS);
    case DAT_USERINTERFACE:
      return sizeof(TW_USERINTERFACE);
    case DAT_XFERGROUP:
      return sizeof(TW_UINT32);
    case DAT_EVENT:
      return sizeof(TW_EVENT);
    case DAT_ENTRYPOINT:
      return sizeof(TW_ENTRYPOINT);
    case DAT_IMAGEINFO:
      return sizeof(TW_IMAGEINFO);
    case DAT_IMAGELAYOUT:
      return sizeof(TW_IMAGELAYOUT);
    case DAT_IMAGEMEMXFER:
      return sizeof(TW_IMAGEMEMXFER);
    case DAT_IMAGENATIVEXFER:
      return sizeof(TW_HANDLE);
    case DAT_PALETTE8:
      return sizeof(TW_PALETTE8);
    default:
      return 1;
  }
}

// Where the triplet's data lives: room to spare, null, exactly its
// structure, or that at an address that is a multiple of 2 but not of 4.
struct DataBlock {
  std::unique_ptr<uint8_t[]> storage;
  uint8_t* data = nullptr;
  size_t size = 0;
};

DataBlock MakeData(Input& in, TW_UINT16 dat, TW_UINT16 msg) {
  DataBlock d;
  const int kind = in.Byte() % 4;
  if (kind == 1) return d;  // null
  d.size = kind == 0 ? 1100 : DataSize(dat);
  if (msg == MSG_PROCESSEVENT) d.size = std::max(d.size, sizeof(TW_EVENT));
  // An allocation of its own that ends where the structure ends; new[]
  // aligns it to 16, so 2 bytes into it is aligned to 2 only.
  const size_t shift = kind == 3 ? 2 : 0;
  d.storage = std::make_unique<uint8_t[]>(d.size + shift);
  d.data = d.storage.get() + shift;
  in.Fill(d.data, std::min<size_t>(d.size, 64));
  return d;
}

void OneCall(CDataSource& source, Input& in, TW_IDENTITY* apps) {
  TW_IDENTITY* origin = &apps[in.Byte() % 2];
  const TW_UINT32 dg = (in.Byte() & 1) ? DG_IMAGE : DG_CONTROL;
  const TW_UINT16 dat = kDats[in.Byte() % std::size(kDats)];
  const TW_UINT16 msg = kMessages[in.Byte() % std::size(kMessages)];
  DataBlock block = MakeData(in, dat, msg);
  uint8_t* data = block.data;
  std::vector<uint8_t> memory;
  HGLOBAL container = nullptr;
  MSG event_message = {};
  const bool room = data && block.size >= DataSize(dat);
  bool capability = false, native = false;
  if (!room) {
    // Null: nothing to set up.
  } else if (dat == DAT_EVENT || msg == MSG_PROCESSEVENT) {
    void* event = &event_message;
    std::memcpy(data, &event, sizeof(event));
  } else if (dat == DAT_CAPABILITY) {
    capability = true;
    container = RandomContainer(source, in);
    std::memcpy(data + offsetof(TW_CAPABILITY, hContainer), &container,
                sizeof(container));
  } else if (dat == DAT_IMAGEMEMXFER) {
    memory.resize(in.Word() % 4096);
    TW_MEMORY m = {0, static_cast<TW_UINT32>(memory.size()), memory.data()};
    std::memcpy(data + offsetof(TW_IMAGEMEMXFER, Memory), &m, sizeof(m));
  } else if (dat == DAT_SETUPFILEXFER) {
    std::strcpy(reinterpret_cast<char*>(data), "/dev/null");
  } else if (dat == DAT_ENTRYPOINT) {
    // The manager's real functions (one of them missing, or the record's
    // size short, at times): random ones would be called.
    TW_ENTRYPOINT points = {sizeof(TW_ENTRYPOINT), &ManagerEntry,
                            &ManagerAllocate,      &ManagerFree,
                            &ManagerLock,          &ManagerUnlock};
    const uint8_t flaw = in.Byte();
    if (flaw == 1) points.Size = 12;
    if (flaw == 2) points.DSM_MemLock = nullptr;
    std::memcpy(data, &points, sizeof(points));
  } else if (dat == DAT_IMAGENATIVEXFER) {
    native = true;
    std::memset(data, 0, sizeof(TW_HANDLE));
  }
  source.Entry(origin, dg, dat, msg, data);
  if (capability) {
    HGLOBAL answered;
    std::memcpy(&answered, data + offsetof(TW_CAPABILITY, hContainer),
                sizeof(answered));
    if (answered && answered != container) source.manager().Free(answered);
    if (container) source.manager().Free(container);
  }
  if (native) {
    HGLOBAL image;
    std::memcpy(&image, data, sizeof(image));
    source.manager().Free(image);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CDataSource& source = Source();
  TW_IDENTITY apps[2] = {};
  apps[0].Id = 11;
  apps[0].ProtocolMajor = 1;
  apps[0].ProtocolMinor = 9;
  apps[1].Id = 12;
  Input in(data, size);
  for (int step = 0; step < 24 && in.more(); ++step) {
    OneCall(source, in, apps);
    if (source.state() < 3 || source.state() > 7) std::abort();
  }
  // Every input leaves the source closed for the next one.
  TW_USERINTERFACE ui = {};
  for (TW_IDENTITY& app : apps) {
    source.Entry(&app, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    source.Entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr);
  }
  if (source.state() != 3) std::abort();
  return 0;
}
