// The whole stack as user mode sees it on Linux: Win32 calls into libvkhost,
// the simulated I/O manager, the vku2cam driver, the USB host and camera.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/control_codes.h"
#include "common/wire_blocks.h"
#include "platform/win32.h"
#include "sim/world/world.h"

namespace vk {
namespace {

constexpr char kLink[] = "\\\\.\\trq5c-0";

class Win32StackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = CreateFileA(kLink, GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(device_, INVALID_HANDLE_VALUE) << GetLastError();
  }
  void TearDown() override {
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
  }
  BOOL Vendor(uint8_t direction, uint8_t request, uint16_t value,
              uint16_t index, void* out, DWORD length, DWORD* returned) {
    uint8_t block[10];
    Encode(VendorRequestBlock{direction, 2, 0, 0, request, 0, value, index},
           block);
    return DeviceIoControl(device_, IOCTL_VENDOR_REQUEST, block, 10, out,
                           length, returned, nullptr);
  }
  void WriteSensor(uint16_t reg, uint16_t value) {
    uint8_t ack = 0;
    DWORD n = 0;
    ASSERT_TRUE(Vendor(1, 11, value, reg, &ack, 1, &n));
    ASSERT_EQ(ack, 8);
  }
  void StartFullResolution() {
    for (auto [reg, value] : {std::pair<uint16_t, uint16_t>{1, 21}, {2, 33},
                              {4, 2047}, {3, 1535}, {34, 0}, {35, 0}})
      WriteSensor(reg, value);
    DWORD n = 0;
    ASSERT_TRUE(Vendor(0, 1, 3, 15, nullptr, 0, &n));
    const uint8_t enable[2] = {1, 0};
    ASSERT_TRUE(DeviceIoControl(device_, IOCTL_ENABLE_READ, (void*)enable, 2,
                                nullptr, 0, &n, nullptr));
  }

  HANDLE device_ = INVALID_HANDLE_VALUE;
};

TEST_F(Win32StackTest, SynchronousControlCodes) {
  uint8_t version[8] = {};
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(device_, IOCTL_GET_DRIVER_VERSION, nullptr, 0,
                              version, 8, &n, nullptr));
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(version[6], 0x43);
  uint8_t request[4];
  Encode(StringDescriptorRequest{1, 0, 0x001B}, request);
  uint8_t text[64] = {};
  ASSERT_TRUE(DeviceIoControl(device_, IOCTL_GET_STRING_DESCRIPTOR, request, 4,
                              text, 4, &n, nullptr));
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(text[0], 2 + 2 * 8);  // "Velmoran"
  uint8_t answer[3] = {};
  ASSERT_TRUE(Vendor(1, 10, 0, 0, answer, 3, &n));
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(answer[0] & 0xFF, 0x16);
  EXPECT_FALSE(DeviceIoControl(device_, 0x222010, nullptr, 0, nullptr, 0, &n,
                               nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Win32StackTest, ReadBeforeEnableReadIsAnInvalidHandle) {
  std::vector<uint8_t> buffer(512);
  DWORD n = 0;
  OVERLAPPED o{};
  o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(ReadFile(device_, buffer.data(), 512, &n, &o));
  if (GetLastError() == ERROR_IO_PENDING) {
    EXPECT_FALSE(GetOverlappedResult(device_, &o, &n, TRUE));
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(o.hEvent);
}

TEST_F(Win32StackTest, FourOverlappedReadsStreamWholeFrames) {
  StartFullResolution();
  constexpr DWORD kChunk = 2048 * 128;
  std::vector<std::vector<uint8_t>> slots(4, std::vector<uint8_t>(kChunk));
  OVERLAPPED o[4] = {};
  for (int s = 0; s < 4; ++s) {
    o[s].hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const BOOL ok = ReadFile(device_, slots[s].data(), kChunk, nullptr, &o[s]);
    ASSERT_TRUE(ok || GetLastError() == ERROR_IO_PENDING);
  }
  // Three frames: twelve full chunks and a zero-length end, three times.
  for (int k = 0; k < 39; ++k) {
    const int s = k % 4;
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(device_, &o[s], &n, TRUE)) << GetLastError();
    EXPECT_EQ(n, (k % 13 == 12) ? 0u : kChunk) << k;
    const BOOL ok = ReadFile(device_, slots[s].data(), kChunk, nullptr, &o[s]);
    ASSERT_TRUE(ok || GetLastError() == ERROR_IO_PENDING);
  }
  ASSERT_TRUE(CancelIoEx(device_, nullptr));
  for (auto& ov : o) {
    DWORD n = 0;
    GetOverlappedResult(device_, &ov, &n, TRUE);
    CloseHandle(ov.hEvent);
  }
}

TEST_F(Win32StackTest, PendingReadIsIncompleteUntilCancelled) {
  const uint8_t enable[2] = {1, 0};
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(device_, IOCTL_ENABLE_READ, (void*)enable, 2,
                              nullptr, 0, &n, nullptr));
  Vendor(0, 1, 0, 15, nullptr, 0, &n);  // the camera stops streaming
  std::vector<uint8_t> buffer(512);
  OVERLAPPED o{};
  o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_FALSE(ReadFile(device_, buffer.data(), 512, nullptr, &o));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_FALSE(GetOverlappedResult(device_, &o, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  EXPECT_EQ(WaitForSingleObject(o.hEvent, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(CancelIoEx(device_, &o));
  EXPECT_FALSE(GetOverlappedResult(device_, &o, &n, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(WaitForSingleObject(o.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(CancelIoEx(device_, &o));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  CloseHandle(o.hEvent);
}

TEST(Win32Stack, MissingLinkIsNotFound) {
  HANDLE h = CreateFileA("\\\\.\\trq5c-5", GENERIC_READ, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Win32Stack, UnplugCompletesOutstandingReadsWithAnError) {
  world::World& world = world::World::Get();
  const sim::PluggedCamera extra = world.Plug();
  ASSERT_EQ(extra.add_status, kStatusSuccess);
  HANDLE h = CreateFileA("\\\\.\\trq5c-1", GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const uint8_t enable[2] = {1, 0};
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_ENABLE_READ, (void*)enable, 2, nullptr,
                              0, &n, nullptr));
  std::vector<uint8_t> buffer(4 * 4096);
  OVERLAPPED o[4] = {};
  for (int i = 0; i < 4; ++i) {
    o[i].hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ReadFile(h, buffer.data() + i * 4096, 4096, nullptr, &o[i]);
  }
  world.Unplug(extra.id);
  for (auto& ov : o) {
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    const DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_DEVICE_NOT_CONNECTED ||
                error == ERROR_OPERATION_ABORTED)
        << error;
    CloseHandle(ov.hEvent);
  }
  // A read after the removal is refused at once, as Windows refuses it: the
  // call's FALSE says so, while its OVERLAPPED still reads pending and its
  // event stays unsignalled, so a reader that waited on them would wait for
  // ever.
  OVERLAPPED late{};
  late.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(ReadFile(h, buffer.data(), 4096, nullptr, &late));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(late.Internal, static_cast<ULONG_PTR>(kStatusPending));
  EXPECT_EQ(WaitForSingleObject(late.hEvent, 0),
            static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(late.hEvent);
  // The handle outlives the camera; requests on it are refused.
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_GET_DRIVER_VERSION, nullptr, 0,
                               buffer.data(), 8, &n, nullptr));
  EXPECT_TRUE(CloseHandle(h));
  h = CreateFileA("\\\\.\\trq5c-1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                  nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace vk
