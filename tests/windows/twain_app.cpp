// A TWAIN application for the data source under the system's own source
// manager (twain_32.dll), with no camera attached: it finds and opens the
// source, negotiates capabilities, enables it without its user interface
// and checks that the announced transfer is refused cleanly, then closes
// everything. Prints each step; exits 0 when every step behaved.
#include <cstdio>
#include <cstring>

#include "twain/protocol/twain.h"

using namespace vk::twain;

namespace {

int g_failures = 0;

void Check(bool ok, const char* step) {
  std::printf("%s  %s\n", ok ? "ok  " : "FAIL", step);
  if (!ok) ++g_failures;
}

class Session {
 public:
  explicit Session(DSMENTRYPROC entry) : entry_(entry) {
    app_.Version.MajorNum = 1;
    app_.ProtocolMajor = 1;
    app_.ProtocolMinor = 9;
    app_.SupportedGroups = DG_CONTROL | DG_IMAGE;
    std::strcpy(app_.Manufacturer, "Velmoran");
    std::strcpy(app_.ProductFamily, "Checks");
    std::strcpy(app_.ProductName, "wine_twain_app");
  }
  TW_UINT16 Manager(TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    return entry_(&app_, nullptr, group, dat, msg, data);
  }
  TW_UINT16 Source(TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    return entry_(&app_, &source_, group, dat, msg, data);
  }
  TW_UINT16 Condition() {
    TW_STATUS status = {};
    Source(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    return status.ConditionCode;
  }
  TW_IDENTITY& source() { return source_; }

 private:
  DSMENTRYPROC entry_;
  TW_IDENTITY app_ = {};
  TW_IDENTITY source_ = {};
};

// The current value of a one-value capability, or -1.
long CurrentValue(Session& s, TW_UINT16 cap) {
  TW_CAPABILITY c = {cap, 0, nullptr};
  if (s.Source(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &c) != TWRC_SUCCESS) return -1;
  long value = -1;
  if (c.ConType == TWON_ONEVALUE) {
    const auto* one = static_cast<const TW_ONEVALUE*>(GlobalLock(c.hContainer));
    value = static_cast<long>(one->Item);
    GlobalUnlock(c.hContainer);
  }
  GlobalFree(c.hContainer);
  return value;
}

bool SetTransferCount(Session& s, TW_INT16 count) {
  TW_CAPABILITY c = {CAP_XFERCOUNT, TWON_ONEVALUE, GlobalAlloc(GHND, sizeof(TW_ONEVALUE))};
  auto* one = static_cast<TW_ONEVALUE*>(GlobalLock(c.hContainer));
  one->ItemType = TWTY_INT16;
  one->Item = static_cast<TW_UINT32>(static_cast<TW_UINT16>(count));
  GlobalUnlock(c.hContainer);
  const bool ok = s.Source(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c) == TWRC_SUCCESS;
  GlobalFree(c.hContainer);
  return ok;
}

// Pumps the window's messages through the source until it announces a
// transfer, for at most five seconds.
bool WaitForTransferReady(Session& s) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < 5000) {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      Sleep(10);
      continue;
    }
    TW_EVENT event = {&msg, MSG_NULL};
    if (s.Source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) == TWRC_DSEVENT) {
      if (event.TWMessage == MSG_XFERREADY) return true;
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return false;
}

}  // namespace

int main() {
  HMODULE manager = LoadLibraryA("twain_32.dll");
  Check(manager != nullptr, "the source manager twain_32.dll loads");
  if (!manager) return 1;
  auto entry = reinterpret_cast<DSMENTRYPROC>(
      reinterpret_cast<void*>(GetProcAddress(manager, "DSM_Entry")));
  Check(entry != nullptr, "it exports DSM_Entry");
  if (!entry) return 1;
  HWND window = CreateWindowExA(0, "STATIC", "wine_twain_app", 0, 0, 0, 10, 10, nullptr,
                                nullptr, GetModuleHandleA(nullptr), nullptr);
  Session s(entry);

  Check(s.Manager(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &window) == TWRC_SUCCESS,
        "MSG_OPENDSM");
  const bool found =
      s.Manager(DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &s.source()) == TWRC_SUCCESS;
  std::printf("      source \"%s\" by \"%s\"\n", s.source().ProductName,
              s.source().Manufacturer);
  Check(found && std::strstr(s.source().ProductName, "PLV210") != nullptr,
        "the manager lists the data source");
  Check(s.Manager(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &s.source()) == TWRC_SUCCESS,
        "MSG_OPENDS");

  Check(CurrentValue(s, ICAP_PIXELTYPE) == TWPT_RGB, "ICAP_PIXELTYPE is RGB");
  Check(CurrentValue(s, ICAP_BITDEPTH) == 24, "ICAP_BITDEPTH is 24");
  Check(SetTransferCount(s, 1) && CurrentValue(s, CAP_XFERCOUNT) == 1,
        "CAP_XFERCOUNT set to 1");
  TW_CAPABILITY unknown = {0x7FFF, 0, nullptr};
  Check(s.Source(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &unknown) == TWRC_FAILURE,
        "an unknown capability is refused");

  TW_USERINTERFACE ui = {FALSE, FALSE, window};
  Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) == TWRC_SUCCESS,
        "MSG_ENABLEDS without the user interface");
  Check(WaitForTransferReady(s), "MSG_XFERREADY arrives through the manager");
  TW_HANDLE dib = nullptr;
  Check(s.Source(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib) == TWRC_FAILURE &&
            dib == nullptr && s.Condition() == TWCC_OPERATIONERROR,
        "the native transfer is refused without a camera");
  TW_PENDINGXFERS pending = {};
  Check(s.Source(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending) == TWRC_SUCCESS &&
            pending.Count == 0,
        "MSG_RESET of the pending transfers");
  Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui) == TWRC_SUCCESS,
        "MSG_DISABLEDS");
  Check(s.Manager(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &s.source()) == TWRC_SUCCESS,
        "MSG_CLOSEDS");
  Check(s.Manager(DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &window) == TWRC_SUCCESS,
        "MSG_CLOSEDSM");
  if (window) DestroyWindow(window);
  std::printf("%d failed\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
