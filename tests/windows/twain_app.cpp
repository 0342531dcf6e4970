// A TWAIN application for the data source under a source manager: the
// system's own (twain_32.dll, 1.x) or a 2.x manager (TWAINDSM.dll), named
// by the first argument, with no camera attached, on a (virtual) desktop:
// it finds and opens the source and negotiates capabilities; enables it
// without its user interface and checks that the announced transfer is
// refused cleanly; then enables it with its dialog, looks at the real
// controls, opens and closes the settings sheet and cancels the dialog as a
// user would. Under a 2.x manager the source must have been handed its
// entry points (it announces DF_DS2), and every container is the manager's
// memory, as the application takes and frees it through the manager's
// functions. A watcher thread plays the user: it answers the message box
// that reports the missing camera and closes the modal sheet. Prints each
// step; exits 0 when every step behaved.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "twain/protocol/twain.h"

using namespace vk::twain;

namespace {

int g_failures = 0;
HWND g_window = nullptr;

void Check(bool ok, const char* step) {
  std::printf("%s  %s\n", ok ? "ok  " : "FAIL", step);
  std::fflush(stdout);
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

  // A 2.x manager's memory functions, when it gives them; else the
  // platform's global memory.
  bool TakeEntryPoints() {
    return Manager(DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &points_) == TWRC_SUCCESS;
  }
  TW_HANDLE Allocate(TW_UINT32 bytes) {
    return points_.DSM_MemAllocate ? points_.DSM_MemAllocate(bytes) : GlobalAlloc(GHND, bytes);
  }
  void* Lock(TW_HANDLE h) { return points_.DSM_MemLock ? points_.DSM_MemLock(h) : GlobalLock(h); }
  void Unlock(TW_HANDLE h) {
    if (points_.DSM_MemUnlock) {
      points_.DSM_MemUnlock(h);
    } else {
      GlobalUnlock(h);
    }
  }
  void Free(TW_HANDLE h) {
    if (points_.DSM_MemFree) {
      points_.DSM_MemFree(h);
    } else {
      GlobalFree(h);
    }
  }

 private:
  TW_ENTRYPOINT points_ = {};
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
    const auto* one = static_cast<const TW_ONEVALUE*>(s.Lock(c.hContainer));
    value = static_cast<long>(one->Item);
    s.Unlock(c.hContainer);
  }
  s.Free(c.hContainer);
  return value;
}

bool SetTransferCount(Session& s, TW_INT16 count) {
  TW_CAPABILITY c = {CAP_XFERCOUNT, TWON_ONEVALUE, s.Allocate(sizeof(TW_ONEVALUE))};
  auto* one = static_cast<TW_ONEVALUE*>(s.Lock(c.hContainer));
  one->ItemType = TWTY_INT16;
  one->Item = static_cast<TW_UINT32>(static_cast<TW_UINT16>(count));
  s.Unlock(c.hContainer);
  const bool ok = s.Source(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c) == TWRC_SUCCESS;
  s.Free(c.hContainer);
  return ok;
}

// Pumps the thread's messages through the source until it sends
// `expected` (MSG_XFERREADY, MSG_CLOSEDSREQ), for at most `ms` milliseconds.
bool PumpUntil(Session& s, TW_UINT16 expected, DWORD ms) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      // An idle application still sees messages (timers, paints); the
      // source manager re-posts a notification a modal loop swallowed when
      // the next message passes through it.
      if (g_window) PostMessageA(g_window, WM_NULL, 0, 0);
      Sleep(10);
      continue;
    }
    TW_EVENT event = {&msg, MSG_NULL};
    if (s.Source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) == TWRC_DSEVENT) {
      if (expected != MSG_NULL && event.TWMessage == expected) return true;
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return false;
}

// ---- The watcher: what a user at the desktop does ----

std::atomic<bool> g_watching{true};
std::atomic<bool> g_watcher_done{false};
std::atomic<int> g_camera_messages{0};
std::atomic<int> g_sheets_closed{0};
std::atomic<int> g_gamma_range_max{-1};

std::string TextOf(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof(text));
  return text;
}

BOOL CALLBACK FindText(HWND child, LPARAM found) {
  if (TextOf(child) == "Failed to preview PLV210!") *reinterpret_cast<bool*>(found) = true;
  return TRUE;
}

// One look at this process's top-level windows.
BOOL CALLBACK Look(HWND window, LPARAM) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
  const std::string title = TextOf(window);
  bool camera_message = false;
  EnumChildWindows(window, &FindText, reinterpret_cast<LPARAM>(&camera_message));
  if (camera_message) {
    ++g_camera_messages;
    PostMessageA(window, WM_COMMAND, IDOK, 0);
  } else if (title == "PLV210 Settings") {
    // The page is the sheet's child dialog holding the gamma trackbar.
    HWND page = FindWindowExA(window, nullptr, "#32770", nullptr);
    HWND gamma = page ? GetDlgItem(page, 1011) : nullptr;
    if (gamma) g_gamma_range_max = static_cast<int>(SendMessageA(gamma, 0x0402, 0, 0));
    PostMessageA(window, WM_COMMAND, IDOK, 0);  // the sheet's OK button
    ++g_sheets_closed;
  }
  return TRUE;
}

void Watch() {
  while (g_watching) {
    EnumWindows(&Look, 0);
    Sleep(50);
  }
  g_watcher_done = true;
}

HWND SourceDialog() { return FindWindowA("#32770", "PLV210 USB2.0 Camera"); }

}  // namespace

int main(int argc, char** argv) {
  const std::string name = argc > 1 ? argv[1] : "twain_32.dll";
  HMODULE manager = LoadLibraryA(name.c_str());
  Check(manager != nullptr, ("the source manager " + name + " loads").c_str());
  if (!manager) return 1;
  auto entry = reinterpret_cast<DSMENTRYPROC>(
      reinterpret_cast<void*>(GetProcAddress(manager, "DSM_Entry")));
  Check(entry != nullptr, "it exports DSM_Entry");
  if (!entry) return 1;
  HWND window = CreateWindowExA(0, "STATIC", "wine_twain_app", 0, 0, 0, 10, 10, nullptr,
                                nullptr, GetModuleHandleA(nullptr), nullptr);
  g_window = window;
  Session s(entry);

  Check(s.Manager(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &window) == TWRC_SUCCESS,
        "MSG_OPENDSM");
  const bool found =
      s.Manager(DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &s.source()) == TWRC_SUCCESS;
  std::printf("      source \"%s\" by \"%s\"\n", s.source().ProductName,
              s.source().Manufacturer);
  Check(found && std::strstr(s.source().ProductName, "PLV210") != nullptr,
        "the manager lists the data source");
  Check((s.source().SupportedGroups & DF_DS2) != 0, "the source announces DF_DS2");
  const bool version2 = s.TakeEntryPoints();
  std::printf("      a %s source manager\n", version2 ? "2.x" : "1.x");
  Check(s.Manager(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &s.source()) == TWRC_SUCCESS,
        "MSG_OPENDS");

  Check(CurrentValue(s, ICAP_PIXELTYPE) == TWPT_RGB, "ICAP_PIXELTYPE is RGB");
  Check(CurrentValue(s, ICAP_BITDEPTH) == 24, "ICAP_BITDEPTH is 24");
  Check(SetTransferCount(s, 1) && CurrentValue(s, CAP_XFERCOUNT) == 1,
        "CAP_XFERCOUNT set to 1");
  TW_CAPABILITY unknown = {0x7FFF, 0, nullptr};
  Check(s.Source(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &unknown) == TWRC_FAILURE,
        "an unknown capability is refused");

  std::thread watcher(&Watch);
  TW_USERINTERFACE ui = {FALSE, FALSE, window};
  Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) == TWRC_SUCCESS,
        "MSG_ENABLEDS without the user interface");
  Check(PumpUntil(s, MSG_XFERREADY, 5000), "MSG_XFERREADY arrives through the manager");
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
  Check(SourceDialog() == nullptr, "the dialog is gone");

  // With the dialog: the real controls, the settings sheet, and Cancel.
  ui.ShowUI = TRUE;
  Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) == TWRC_SUCCESS,
        "MSG_ENABLEDS with the user interface");
  PumpUntil(s, MSG_NULL, 1000);  // the camera's failure arrives and is answered
  HWND dialog = SourceDialog();
  Check(dialog != nullptr && IsWindowVisible(dialog), "the source dialog shows");
  Check(dialog && SendMessageA(GetDlgItem(dialog, 1132), CB_GETCOUNT, 0, 0) == 3,
        "the resolution list holds the three sizes");
  Check(dialog && !IsWindowEnabled(GetDlgItem(dialog, 1134)),
        "Capture stays disabled without an image");
  Check(g_camera_messages >= 1, "\"Failed to preview PLV210!\" was shown");
  PostMessageA(dialog, WM_COMMAND, 1135, 0);  // Settings...
  PumpUntil(s, MSG_NULL, 1500);
  Check(g_sheets_closed == 1 && g_gamma_range_max == 250,
        "the settings sheet opened with its page (gamma up to 250) and closed");
  PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  Check(PumpUntil(s, MSG_CLOSEDSREQ, 5000), "Cancel asks the application to close");
  Check(s.Source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui) == TWRC_SUCCESS &&
            SourceDialog() == nullptr,
        "MSG_DISABLEDS closes the dialog");
  // The watcher reads window texts, which this thread answers: keep
  // pumping until it has stopped.
  g_watching = false;
  while (!g_watcher_done) PumpUntil(s, MSG_NULL, 20);
  watcher.join();

  Check(s.Manager(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &s.source()) == TWRC_SUCCESS,
        "MSG_CLOSEDS");
  Check(s.Manager(DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &window) == TWRC_SUCCESS,
        "MSG_CLOSEDSM");
  if (window) DestroyWindow(window);
  std::printf("%d failed\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
