// Compiled against the real <windows.h> in Windows builds and against
// platform/host on Linux: every Win32 call of the subset must have the same
// type in both, so code written on Linux builds unchanged for Windows.
#include <type_traits>

#include "platform/vfw.h"
#include "platform/win32.h"

#define VK_SAME_SIGNATURE(fn, type) \
  static_assert(std::is_same_v<decltype(&::fn), type>, #fn)

VK_SAME_SIGNATURE(GetLastError, DWORD(WINAPI*)());
VK_SAME_SIGNATURE(SetLastError, void(WINAPI*)(DWORD));
VK_SAME_SIGNATURE(CreateEventA,
                  HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR));
VK_SAME_SIGNATURE(SetEvent, BOOL(WINAPI*)(HANDLE));
VK_SAME_SIGNATURE(ResetEvent, BOOL(WINAPI*)(HANDLE));
VK_SAME_SIGNATURE(WaitForSingleObject, DWORD(WINAPI*)(HANDLE, DWORD));
VK_SAME_SIGNATURE(WaitForMultipleObjects,
                  DWORD(WINAPI*)(DWORD, const HANDLE*, BOOL, DWORD));
VK_SAME_SIGNATURE(CloseHandle, BOOL(WINAPI*)(HANDLE));
VK_SAME_SIGNATURE(CreateFileA,
                  HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                                  DWORD, DWORD, HANDLE));
VK_SAME_SIGNATURE(DeviceIoControl,
                  BOOL(WINAPI*)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD,
                                LPDWORD, LPOVERLAPPED));
VK_SAME_SIGNATURE(ReadFile,
                  BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED));
VK_SAME_SIGNATURE(WriteFile,
                  BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED));
VK_SAME_SIGNATURE(GetOverlappedResult,
                  BOOL(WINAPI*)(HANDLE, LPOVERLAPPED, LPDWORD, BOOL));
VK_SAME_SIGNATURE(CancelIoEx, BOOL(WINAPI*)(HANDLE, LPOVERLAPPED));
VK_SAME_SIGNATURE(RegCreateKeyExA,
                  LONG(WINAPI*)(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM,
                                LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD));
VK_SAME_SIGNATURE(RegOpenKeyExA,
                  LONG(WINAPI*)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY));
VK_SAME_SIGNATURE(RegQueryValueExA,
                  LONG(WINAPI*)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE,
                                LPDWORD));
VK_SAME_SIGNATURE(RegSetValueExA,
                  LONG(WINAPI*)(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD));
VK_SAME_SIGNATURE(RegDeleteKeyA, LONG(WINAPI*)(HKEY, LPCSTR));
VK_SAME_SIGNATURE(RegCloseKey, LONG(WINAPI*)(HKEY));
VK_SAME_SIGNATURE(MessageBoxA, int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT));
VK_SAME_SIGNATURE(PostMessageA, BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM));
VK_SAME_SIGNATURE(PostQuitMessage, void(WINAPI*)(int));
VK_SAME_SIGNATURE(PeekMessageA, BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT, UINT));
VK_SAME_SIGNATURE(GetDC, HDC(WINAPI*)(HWND));
VK_SAME_SIGNATURE(ReleaseDC, int(WINAPI*)(HWND, HDC));
VK_SAME_SIGNATURE(GetClientRect, BOOL(WINAPI*)(HWND, LPRECT));
VK_SAME_SIGNATURE(DrawDibOpen, HDRAWDIB(WINAPI*)());
VK_SAME_SIGNATURE(DrawDibClose, BOOL(WINAPI*)(HDRAWDIB));
VK_SAME_SIGNATURE(DrawDibDraw,
                  BOOL(WINAPI*)(HDRAWDIB, HDC, int, int, int, int,
                                LPBITMAPINFOHEADER, LPVOID, int, int, int, int,
                                UINT));
VK_SAME_SIGNATURE(Sleep, void(WINAPI*)(DWORD));
VK_SAME_SIGNATURE(GetTickCount, DWORD(WINAPI*)());
VK_SAME_SIGNATURE(GetLocalTime, void(WINAPI*)(LPSYSTEMTIME));
VK_SAME_SIGNATURE(GetModuleFileNameA, DWORD(WINAPI*)(HMODULE, LPSTR, DWORD));
VK_SAME_SIGNATURE(GetUserDefaultLangID, LANGID(WINAPI*)());
VK_SAME_SIGNATURE(GetSystemInfo, void(WINAPI*)(LPSYSTEM_INFO));
VK_SAME_SIGNATURE(GlobalAlloc, HGLOBAL(WINAPI*)(UINT, SIZE_T));
VK_SAME_SIGNATURE(GlobalReAlloc, HGLOBAL(WINAPI*)(HGLOBAL, SIZE_T, UINT));
VK_SAME_SIGNATURE(GlobalLock, LPVOID(WINAPI*)(HGLOBAL));
VK_SAME_SIGNATURE(GlobalUnlock, BOOL(WINAPI*)(HGLOBAL));
VK_SAME_SIGNATURE(GlobalHandle, HGLOBAL(WINAPI*)(LPCVOID));
VK_SAME_SIGNATURE(GlobalSize, SIZE_T(WINAPI*)(HGLOBAL));
VK_SAME_SIGNATURE(GlobalFlags, UINT(WINAPI*)(HGLOBAL));
VK_SAME_SIGNATURE(GlobalFree, HGLOBAL(WINAPI*)(HGLOBAL));
VK_SAME_SIGNATURE(LoadLibraryA, HMODULE(WINAPI*)(LPCSTR));
VK_SAME_SIGNATURE(GetProcAddress, FARPROC(WINAPI*)(HMODULE, LPCSTR));
VK_SAME_SIGNATURE(FreeLibrary, BOOL(WINAPI*)(HMODULE));

static_assert(sizeof(OVERLAPPED) == 4 * sizeof(void*));
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4);
