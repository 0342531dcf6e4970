// Declarations of the Win32 functions that user mode uses, as <windows.h>
// declares them, implemented by libvkhost on Linux. Device paths
// ("\\.\trq5c-N") reach the simulated I/O manager once one is installed;
// until then opening them fails as on a machine without the driver.
#pragma once

#include "platform/host/win32_types.h"



extern "C" {

// Errors.
VKHOST_API DWORD GetLastError();
VKHOST_API void SetLastError(DWORD error);

// Handles and events.
VKHOST_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes,
                               BOOL manual_reset, BOOL initial_state,
                               LPCSTR name);
VKHOST_API BOOL SetEvent(HANDLE event);
VKHOST_API BOOL ResetEvent(HANDLE event);
VKHOST_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
VKHOST_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles,
                                        BOOL wait_all, DWORD milliseconds);
VKHOST_API BOOL CloseHandle(HANDLE handle);

// Files and devices.
VKHOST_API HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES attributes,
                              DWORD disposition, DWORD flags, HANDLE tmpl);
VKHOST_API BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in,
                                DWORD in_size, LPVOID out, DWORD out_size,
                                LPDWORD returned, LPOVERLAPPED overlapped);
VKHOST_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size,
                         LPDWORD read, LPOVERLAPPED overlapped);
VKHOST_API BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size,
                          LPDWORD written, LPOVERLAPPED overlapped);
VKHOST_API BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped,
                                    LPDWORD transferred, BOOL wait);
VKHOST_API BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);

// Registry.
VKHOST_API LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD reserved,
                                LPSTR key_class, DWORD options, REGSAM sam,
                                LPSECURITY_ATTRIBUTES attributes,
                                PHKEY result, LPDWORD disposition);
VKHOST_API LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options,
                              REGSAM sam, PHKEY result);
VKHOST_API LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved,
                                 LPDWORD type, LPBYTE data, LPDWORD size);
VKHOST_API LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved,
                               DWORD type, const BYTE* data, DWORD size);
VKHOST_API LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name,
                               LPDWORD name_length, LPDWORD reserved,
                               LPSTR key_class, LPDWORD class_length,
                               PFILETIME last_write);
VKHOST_API LONG RegDeleteKeyA(HKEY key, LPCSTR sub_key);
VKHOST_API LONG RegCloseKey(HKEY key);

// User interface.
VKHOST_API int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption,
                           UINT type);
VKHOST_API BOOL PostMessageA(HWND window, UINT message, WPARAM wparam,
                             LPARAM lparam);
VKHOST_API void PostQuitMessage(int exit_code);
VKHOST_API BOOL PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last,
                             UINT remove);
VKHOST_API BOOL IsDialogMessageA(HWND dialog, LPMSG msg);
VKHOST_API LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
VKHOST_API BOOL GetSaveFileNameA(LPOPENFILENAMEA dialog);
VKHOST_API HDC GetDC(HWND window);
VKHOST_API int ReleaseDC(HWND window, HDC dc);
VKHOST_API BOOL GetClientRect(HWND window, LPRECT rect);
VKHOST_API int SetStretchBltMode(HDC dc, int mode);
VKHOST_API int StretchDIBits(HDC dc, int x_dst, int y_dst, int dx_dst, int dy_dst,
                             int x_src, int y_src, int dx_src, int dy_src,
                             const void* bits, const BITMAPINFO* info, UINT usage,
                             DWORD rop);
VKHOST_API int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
VKHOST_API HBRUSH GetSysColorBrush(int index);

// Video for Windows drawing (vfw.h).
VKHOST_API HDRAWDIB DrawDibOpen();
VKHOST_API BOOL DrawDibClose(HDRAWDIB drawdib);
VKHOST_API BOOL DrawDibDraw(HDRAWDIB drawdib, HDC dc, int x_dst, int y_dst,
                            int dx_dst, int dy_dst, LPBITMAPINFOHEADER header,
                            LPVOID bits, int x_src, int y_src, int dx_src,
                            int dy_src, UINT flags);
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u

// System.
VKHOST_API void Sleep(DWORD milliseconds);
VKHOST_API DWORD GetTickCount();
VKHOST_API void GetLocalTime(LPSYSTEMTIME time);
VKHOST_API DWORD GetModuleFileNameA(HMODULE module, LPSTR name, DWORD size);
VKHOST_API LANGID GetUserDefaultLangID();
VKHOST_API void GetSystemInfo(LPSYSTEM_INFO info);

// Global memory.
VKHOST_API HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
VKHOST_API HGLOBAL GlobalReAlloc(HGLOBAL mem, SIZE_T bytes, UINT flags);
VKHOST_API LPVOID GlobalLock(HGLOBAL mem);
VKHOST_API BOOL GlobalUnlock(HGLOBAL mem);
VKHOST_API HGLOBAL GlobalHandle(LPCVOID pointer);
VKHOST_API SIZE_T GlobalSize(HGLOBAL mem);
VKHOST_API UINT GlobalFlags(HGLOBAL mem);
VKHOST_API HGLOBAL GlobalFree(HGLOBAL mem);

// Dynamic libraries.
VKHOST_API HMODULE LoadLibraryA(LPCSTR name);
VKHOST_API FARPROC GetProcAddress(HMODULE module, LPCSTR name);
VKHOST_API BOOL FreeLibrary(HMODULE module);

}  // extern "C"
