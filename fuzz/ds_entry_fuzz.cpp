// Fuzzes the TWAIN data source: random triplets in random states, with
// random and malformed data (wrong container types and sizes, containers
// too short, unknown messages), one application or two. The data pointers
// themselves are what TWAIN requires: valid memory of the triplet's
// structure. After each input the state must be 3 to 7 and the source must
// close cleanly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "twain/protocol/data_source.h"

using namespace vk::twain;

namespace {

const TW_UINT16 kDats[] = {DAT_CAPABILITY, DAT_IDENTITY, DAT_PENDINGXFERS, DAT_SETUPMEMXFER,
                           DAT_SETUPFILEXFER, DAT_STATUS, DAT_USERINTERFACE, DAT_XFERGROUP,
                           DAT_EVENT, DAT_IMAGEINFO, DAT_IMAGELAYOUT, DAT_IMAGEMEMXFER,
                           DAT_IMAGENATIVEXFER, DAT_IMAGEFILEXFER, DAT_PALETTE8, 0x7777};
const TW_UINT16 kMessages[] = {MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, MSG_GETFIRST,
                               MSG_SET, MSG_RESET, MSG_QUERYSUPPORT, MSG_OPENDS,
                               MSG_CLOSEDS, MSG_ENABLEDS, MSG_DISABLEDS, MSG_PROCESSEVENT,
                               MSG_ENDXFER, 0x0999};

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

CDataSource& Source() {
  static auto* source = [] {
    setenv("VKCAM_SIM_CAMERAS", "0", 0);  // opening fails fast: no camera
    setenv("VKCAM_SLEEP_SCALE", "0.01", 0);
    return new CDataSource(false, 1);
  }();
  return *source;
}

// A capability container of random type, length and content.
HGLOBAL RandomContainer(Input& in) {
  const size_t size = in.Byte() % 48;
  if (size == 0) return nullptr;
  HGLOBAL block = GlobalAlloc(GHND, size);
  in.Fill(GlobalLock(block), size);
  GlobalUnlock(block);
  return block;
}

void OneCall(CDataSource& source, Input& in, TW_IDENTITY* apps) {
  TW_IDENTITY* origin = &apps[in.Byte() % 2];
  const TW_UINT32 dg = (in.Byte() & 1) ? DG_IMAGE : DG_CONTROL;
  const TW_UINT16 dat = kDats[in.Byte() % std::size(kDats)];
  const TW_UINT16 msg = kMessages[in.Byte() % std::size(kMessages)];
  // Room for the largest structure, filled at random.
  alignas(8) uint8_t data[1100];
  in.Fill(data, 64);
  std::vector<uint8_t> memory;
  HGLOBAL container = nullptr;
  MSG event_message = {};
  if (dat == DAT_CAPABILITY) {
    auto* cap = reinterpret_cast<TW_CAPABILITY*>(data);
    container = RandomContainer(in);
    cap->hContainer = container;
  } else if (dat == DAT_IMAGEMEMXFER) {
    auto* t = reinterpret_cast<TW_IMAGEMEMXFER*>(data);
    memory.resize(in.Word() % 4096);
    t->Memory.Length = static_cast<TW_UINT32>(memory.size());
    t->Memory.TheMem = memory.data();
  } else if (dat == DAT_EVENT || msg == MSG_PROCESSEVENT) {
    reinterpret_cast<TW_EVENT*>(data)->pEvent = &event_message;
  } else if (dat == DAT_SETUPFILEXFER) {
    std::strcpy(reinterpret_cast<TW_SETUPFILEXFER*>(data)->FileName, "/dev/null");
  }
  TW_HANDLE native = nullptr;
  void* argument = dat == DAT_IMAGENATIVEXFER ? static_cast<void*>(&native) : data;
  source.Entry(origin, dg, dat, msg, argument);
  if (dat == DAT_CAPABILITY) {
    HGLOBAL answered = reinterpret_cast<TW_CAPABILITY*>(data)->hContainer;
    if (answered && answered != container) GlobalFree(answered);
    if (container) GlobalFree(container);
  }
  if (native) GlobalFree(native);
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
