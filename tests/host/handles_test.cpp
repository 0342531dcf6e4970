#include <gtest/gtest.h>

#include <thread>

#include "platform/host/host.h"
#include "platform/win32.h"

namespace {

TEST(Events, ManualResetStaysSignalledUntilReset) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  SetEvent(e);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  ResetEvent(e);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(e));
}

TEST(Events, AutoResetReleasesOneWait) {
  HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  CloseHandle(e);
}

TEST(Events, InfiniteWaitEndsWhenAnotherThreadSets) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread setter([e] {
    Sleep(10);
    SetEvent(e);
  });
  EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
  setter.join();
  CloseHandle(e);
}

TEST(Events, WaitForMultipleReportsTheSignalledIndex) {
  HANDLE e[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr),
                 CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  SetEvent(e[1]);
  EXPECT_EQ(WaitForMultipleObjects(2, e, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, e, TRUE, 0), WAIT_TIMEOUT);
  SetEvent(e[0]);
  EXPECT_EQ(WaitForMultipleObjects(2, e, TRUE, 0), WAIT_OBJECT_0);
  CloseHandle(e[0]);
  CloseHandle(e[1]);
}

TEST(Handles, ClosedHandlesAreInvalid) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(e);
  EXPECT_FALSE(CloseHandle(e));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
}

TEST(Devices, DeviceLinkIsNotFoundWithoutTheDriver) {
  vk::host::SetDeviceOpener(nullptr);
  HANDLE h = CreateFileA("\\\\.\\trq5c-0", GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  DWORD n = 0;
  EXPECT_FALSE(DeviceIoControl(h, 0x222059, nullptr, 0, nullptr, 0, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Devices, InstalledOpenerServesDevicePaths) {
  struct Echo : vk::host::HostFile {
    BOOL Read(LPVOID, DWORD size, LPDWORD read, LPOVERLAPPED) override {
      *read = size;
      return TRUE;
    }
  };
  vk::host::SetDeviceOpener(
      [](const char* path, DWORD, DWORD, DWORD, DWORD* error)
          -> std::shared_ptr<vk::host::HostFile> {
        if (std::string(path) == "\\\\.\\echo") return std::make_shared<Echo>();
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
      });
  HANDLE h = CreateFileA("\\\\.\\echo", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(h, nullptr, 42, &n, nullptr));
  EXPECT_EQ(n, 42u);
  EXPECT_TRUE(CloseHandle(h));
  vk::host::SetDeviceOpener(nullptr);
}

TEST(MessageBoxes, AreRecordedAndAnswerTheDefaultButton) {
  vk::host::TakeMessageBoxes();
  EXPECT_EQ(MessageBoxA(nullptr, "USB Camera Not Find!", nullptr, MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "Overwrite?", "Save", MB_YESNO), IDYES);
  const auto boxes = vk::host::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "USB Camera Not Find!");
  EXPECT_EQ(boxes[0].caption, "");
  EXPECT_EQ(boxes[1].type, MB_YESNO);
  EXPECT_TRUE(vk::host::TakeMessageBoxes().empty());
}

TEST(MessageBoxes, AreTakenOneByOneThroughTheCInterfaceCutToTheBuffer) {
  vk::host::TakeMessageBoxes();
  MessageBoxA(nullptr, "can't create file", nullptr, MB_OK);
  MessageBoxA(nullptr, "JpegFile :\nCan't open x.jpg\n", "JPEG", MB_OK);
  char text[8] = {}, caption[16] = {};
  ASSERT_EQ(VkHostTakeMessageBox(text, sizeof(text), caption, sizeof(caption)), 1);
  EXPECT_STREQ(text, "can't c");
  EXPECT_STREQ(caption, "");
  char whole[64] = {};
  ASSERT_EQ(VkHostTakeMessageBox(whole, sizeof(whole), caption, sizeof(caption)), 1);
  EXPECT_STREQ(whole, "JpegFile :\nCan't open x.jpg\n");
  EXPECT_STREQ(caption, "JPEG");
  EXPECT_EQ(VkHostTakeMessageBox(whole, sizeof(whole), caption, sizeof(caption)), 0);
  EXPECT_TRUE(vk::host::TakeMessageBoxes().empty());
}

TEST(PostedMessages, ReachAWindowMadeThroughTheCInterface) {
  HWND w = VkHostCreateMessageWindow();
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(PostMessageA(w, 0x8056, 0, -1));
  MSG msg{};
  ASSERT_TRUE(PeekMessageA(&msg, w, 0x8056, 0x8056, PM_REMOVE));
  EXPECT_EQ(msg.lParam, -1);
  VkHostDestroyMessageWindow(w);
  EXPECT_FALSE(PostMessageA(w, 0x8056, 0, 1));
}

TEST(PostedMessages, GoToTheirWindowInOrder) {
  HWND w = vk::host::CreateMessageWindow();
  EXPECT_TRUE(PostMessageA(w, 1124, 1, 0));
  EXPECT_TRUE(PostMessageA(w, 1124, 0, 7));
  const auto msgs = vk::host::TakePostedMessages(w);
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].message, 1124u);
  EXPECT_EQ(msgs[0].wParam, 1u);
  EXPECT_EQ(msgs[1].lParam, 7);
  vk::host::DestroyMessageWindow(w);
  EXPECT_FALSE(PostMessageA(w, 1124, 1, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(PostedMessages, QuitGoesToTheThreadQueue) {
  PostQuitMessage(3);
  MSG msg{};
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(System, ReportsProcessorsTimeAndModule) {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  EXPECT_GE(info.dwNumberOfProcessors, 1u);
  SYSTEMTIME t{};
  GetLocalTime(&t);
  EXPECT_GE(t.wYear, 2024);
  EXPECT_GE(t.wMonth, 1);
  char name[8];
  EXPECT_EQ(GetModuleFileNameA(nullptr, name, sizeof(name)), sizeof(name));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(name[7], '\0');
  EXPECT_EQ(LoadLibraryA("/nonexistent/library.so"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace

namespace {

TEST(PlainFiles, CreateWriteReadAndDispositions) {
  const std::string path = ::testing::TempDir() + "vkcam_plain_file.bin";
  std::remove(path.c_str());
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(h, "frame", 5, &n, nullptr));
  EXPECT_EQ(n, 5u);
  CloseHandle(h);
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                        nullptr),
            INVALID_HANDLE_VALUE);
  h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                  nullptr);
  char text[8] = {};
  EXPECT_TRUE(ReadFile(h, text, sizeof(text), &n, nullptr));
  EXPECT_EQ(n, 5u);
  EXPECT_STREQ(text, "frame");
  CloseHandle(h);
  std::remove(path.c_str());
}

}  // namespace
