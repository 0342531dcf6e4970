// TWAINDSM.dll for the Wine checks: a TWAIN 2.x source manager that behaves
// as the TWAIN Working Group's does on Windows, in what a data source and
// an application see of it. It finds sources as twain_64\<folder>\*.ds
// under the Windows folder; before it opens a source whose identity carries
// DF_DS2 it hands it its entry points (DAT_ENTRYPOINT), and a source that
// refuses them is not opened; a notice from the source (DAT_NULL) is kept
// until the application's next MSG_PROCESSEVENT, which returns it as
// TWRC_DSEVENT, and the application's window is woken for it; its memory
// functions are fixed global memory. 1.x sources get no entry points: their
// notices go wherever "twain_32.dll" takes them.
#include <cstring>
#include <string>

#include "twain/protocol/twain.h"

using namespace vk::twain;

namespace {

constexpr TW_UINT16 kNoSource = 3;  // TWCC_NODS

TW_HANDLE TWAIN_CALL MemAllocate(TW_UINT32 bytes) {
  return bytes ? GlobalAlloc(GPTR, bytes) : nullptr;
}
void TWAIN_CALL MemFree(TW_HANDLE handle) {
  if (handle) GlobalFree(handle);
}
TW_MEMREF TWAIN_CALL MemLock(TW_HANDLE handle) { return handle ? GlobalLock(handle) : nullptr; }
void TWAIN_CALL MemUnlock(TW_HANDLE handle) {
  if (handle) GlobalUnlock(handle);
}

extern "C" TW_UINT16 TWAIN_CALL DSM_Entry(TW_IDENTITY* origin, TW_IDENTITY* dest, TW_UINT32 dg,
                                         TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

// The one application and the one source it may hold.
struct Manager {
  bool open = false;
  HWND window = nullptr;
  TW_IDENTITY app = {};
  HMODULE library = nullptr;
  DSENTRYPROC source_entry = nullptr;
  TW_IDENTITY source = {};
  bool source_open = false;
  TW_UINT16 notice = MSG_NULL;
  TW_UINT16 condition = TWCC_SUCCESS;
};
Manager g_manager;

TW_ENTRYPOINT EntryPoints() {
  return {sizeof(TW_ENTRYPOINT), &DSM_Entry, &MemAllocate, &MemFree, &MemLock, &MemUnlock};
}

TW_UINT16 Fail(TW_UINT16 condition) {
  g_manager.condition = condition;
  return TWRC_FAILURE;
}

// The first source under twain_64: its library loaded, its identity read.
bool FindSource() {
  char windows[MAX_PATH] = {};
  GetWindowsDirectoryA(windows, MAX_PATH);
  const std::string root = std::string(windows) + "\\twain_64\\";
  WIN32_FIND_DATAA folder;
  HANDLE folders = FindFirstFileA((root + "*").c_str(), &folder);
  if (folders == INVALID_HANDLE_VALUE) return false;
  bool found = false;
  do {
    if (!(folder.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || folder.cFileName[0] == '.')
      continue;
    const std::string dir = root + folder.cFileName + "\\";
    WIN32_FIND_DATAA file;
    HANDLE files = FindFirstFileA((dir + "*.ds").c_str(), &file);
    if (files == INVALID_HANDLE_VALUE) continue;
    FindClose(files);
    HMODULE library = LoadLibraryA((dir + file.cFileName).c_str());
    auto entry = library ? reinterpret_cast<DSENTRYPROC>(reinterpret_cast<void*>(
                               GetProcAddress(library, "DS_Entry")))
                         : nullptr;
    if (!entry) {
      if (library) FreeLibrary(library);
      continue;
    }
    TW_IDENTITY identity = {};
    entry(&g_manager.app, DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity);
    identity.Id = 2;
    g_manager.library = library;
    g_manager.source_entry = entry;
    g_manager.source = identity;
    found = true;
  } while (!found && FindNextFileA(folders, &folder));
  FindClose(folders);
  return found;
}

TW_UINT16 OpenSource(TW_IDENTITY* identity) {
  if (!g_manager.source_entry && !FindSource()) return Fail(kNoSource);
  TW_IDENTITY app = g_manager.app;
  if (g_manager.source.SupportedGroups & DF_DS2) {
    TW_ENTRYPOINT points = EntryPoints();
    if (g_manager.source_entry(&app, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &points) !=
        TWRC_SUCCESS)
      return Fail(TWCC_OPERATIONERROR);
  }
  const TW_UINT16 rc =
      g_manager.source_entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &g_manager.source);
  if (rc == TWRC_SUCCESS) {
    g_manager.source_open = true;
    *identity = g_manager.source;
  }
  return rc;
}

TW_UINT16 ForManager(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  switch (dat) {
    case DAT_PARENT:
      if (msg == MSG_OPENDSM) {
        g_manager.open = true;
        g_manager.window = data ? *static_cast<HWND*>(data) : nullptr;
        return TWRC_SUCCESS;
      }
      if (msg == MSG_CLOSEDSM) {
        g_manager.open = false;
        return TWRC_SUCCESS;
      }
      break;
    case DAT_ENTRYPOINT:
      if (msg == MSG_GET && data) {
        const TW_ENTRYPOINT points = EntryPoints();
        std::memcpy(data, &points, sizeof(points));
        return TWRC_SUCCESS;
      }
      break;
    case DAT_IDENTITY: {
      auto* identity = static_cast<TW_IDENTITY*>(data);
      if (!identity) break;
      if (msg == MSG_GETFIRST || msg == MSG_GETDEFAULT) {
        if (!g_manager.source_entry && !FindSource()) return Fail(kNoSource);
        *identity = g_manager.source;
        return TWRC_SUCCESS;
      }
      if (msg == MSG_OPENDS) return OpenSource(identity);
      break;
    }
    case DAT_STATUS:
      if (msg == MSG_GET && data) {
        static_cast<TW_STATUS*>(data)->ConditionCode = g_manager.condition;
        g_manager.condition = TWCC_SUCCESS;
        return TWRC_SUCCESS;
      }
      break;
  }
  return Fail(TWCC_BADPROTOCOL);
}

TW_UINT16 ForSource(TW_IDENTITY* app, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                    TW_MEMREF data) {
  if (!g_manager.source_entry) return Fail(kNoSource);
  if (dat == DAT_EVENT && msg == MSG_PROCESSEVENT && g_manager.notice != MSG_NULL) {
    static_cast<TW_EVENT*>(data)->TWMessage = g_manager.notice;
    g_manager.notice = MSG_NULL;
    return TWRC_DSEVENT;
  }
  return g_manager.source_entry(app, dg, dat, msg, data);
}

// MSG_CLOSEDS, whichever way the application sends it: the source is
// closed and its library unloaded.
TW_UINT16 CloseSource() {
  if (!g_manager.source_open) return Fail(TWCC_SEQERROR);
  TW_IDENTITY app = g_manager.app;
  const TW_UINT16 rc = g_manager.source_entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS,
                                              &g_manager.source);
  if (rc != TWRC_SUCCESS) return rc;
  g_manager.source_open = false;
  g_manager.notice = MSG_NULL;
  FreeLibrary(g_manager.library);
  g_manager.library = nullptr;
  g_manager.source_entry = nullptr;
  return TWRC_SUCCESS;
}

// A notice from the source: kept, and the application woken for it.
TW_UINT16 FromSource(TW_UINT16 msg) {
  if (msg != MSG_XFERREADY && msg != MSG_CLOSEDSREQ && msg != MSG_CLOSEDSOK)
    return Fail(TWCC_BADPROTOCOL);
  g_manager.notice = msg;
  if (g_manager.window) PostMessageA(g_manager.window, WM_NULL, 0, 0);
  return TWRC_SUCCESS;
}

}  // namespace

extern "C" __declspec(dllexport) TW_UINT16 TWAIN_CALL DSM_Entry(TW_IDENTITY* origin,
                                                                TW_IDENTITY* dest,
                                                                TW_UINT32 dg, TW_UINT16 dat,
                                                                TW_UINT16 msg, TW_MEMREF data) {
  if (dat == DAT_NULL) {
    // From the source: origin is the source, dest the application.
    if (!origin || !g_manager.source_open || origin->Id != g_manager.source.Id)
      return Fail(TWCC_BADPROTOCOL);
    return FromSource(msg);
  }
  if (!origin) return Fail(TWCC_BADPROTOCOL);
  if (dat == DAT_PARENT && msg == MSG_OPENDSM) {
    g_manager.app = *origin;
    g_manager.app.Id = 1;
    origin->Id = 1;
  }
  if (dat == DAT_IDENTITY && msg == MSG_CLOSEDS) return CloseSource();
  if (dest == nullptr) return ForManager(dat, msg, data);
  return ForSource(&g_manager.app, dg, dat, msg, data);
}
