// A camera's device link opened through the simulated I/O manager, with
// synchronous helpers for device-control requests and reads.
#pragma once

#include <cstring>
#include <future>
#include <mutex>
#include <vector>

#include "common/control_codes.h"
#include "common/wire_blocks.h"
#include "driver_fixture.h"
#include "sim/kernel/io_manager.h"

namespace vk::drv {

struct Result {
  NtStatus status;
  uintptr_t information;
};

class LinkFixture : public DriverFixture {
 protected:
  void SetUp() override {
    camera_ = Plug();
    ASSERT_EQ(io_.Open(u"\\DosDevices\\trq5c-0", &file_), kStatusSuccess);
  }
  void TearDown() override {
    if (camera_.bus) camera_.bus->SetUrbObserver(nullptr);
    for (auto& f : extra_files_) io_.Close(f);
    if (file_) io_.Close(file_);
  }

  Result Ioctl(uint32_t code, const void* in, uint32_t in_length, void* out,
               uint32_t out_length, sim::OpenFile* file = nullptr) {
    std::promise<kernel::IoStatus> done;
    io_.DeviceControl(file ? *file : *file_, code, in, in_length, out,
                      out_length,
                      [&done](const kernel::IoStatus& io) { done.set_value(io); });
    const kernel::IoStatus io = done.get_future().get();
    return {io.status, io.information};
  }
  Result Read(void* buffer, uint32_t length) {
    std::promise<kernel::IoStatus> done;
    io_.Read(*file_, false, buffer, length,
             [&done](const kernel::IoStatus& io) { done.set_value(io); });
    const kernel::IoStatus io = done.get_future().get();
    return {io.status, io.information};
  }
  Result EnableRead() {
    const uint8_t in[2] = {1, 0};
    return Ioctl(IOCTL_ENABLE_READ, in, 2, nullptr, 0);
  }
  // The camera's registers for full resolution, then streaming.
  void StreamFullResolution() {
    for (auto [reg, value] : {std::pair<uint16_t, uint16_t>{1, 21}, {2, 33},
                              {4, 2047}, {3, 1535}, {34, 0}, {35, 0}})
      SensorWrite(reg, value);
    VendorOut(1, 1, 15);
  }
  Result VendorIn(uint8_t request, uint16_t value, uint16_t index, void* out,
                  uint32_t length) {
    uint8_t block[10];
    Encode(VendorRequestBlock{1, 2, 0, 0, request, 0, value, index}, block);
    return Ioctl(IOCTL_VENDOR_REQUEST, block, 10, out, length);
  }
  Result VendorOut(uint8_t request, uint16_t value, uint16_t index) {
    uint8_t block[10];
    Encode(VendorRequestBlock{0, 2, 0, 0, request, 0, value, index}, block);
    return Ioctl(IOCTL_VENDOR_REQUEST, block, 10, nullptr, 0);
  }
  void SensorWrite(uint16_t reg, uint16_t value) {
    uint8_t ack = 0;
    ASSERT_EQ(VendorIn(11, value, reg, &ack, 1).status, kStatusSuccess);
    ASSERT_EQ(ack, 8);
  }
  std::shared_ptr<sim::OpenFile> OpenAnother(int instance = 0) {
    std::shared_ptr<sim::OpenFile> f;
    const std::u16string link =
        u"\\DosDevices\\trq5c-" + std::u16string(1, char16_t(u'0' + instance));
    EXPECT_EQ(io_.Open(link, &f), kStatusSuccess);
    if (f) extra_files_.push_back(f);
    return f;
  }
  // Records every URB the driver sends for this camera.
  void WatchUrbs() {
    camera_.bus->SetUrbObserver([this](const usb::UrbHeader& urb) {
      std::lock_guard lock(urbs_mutex_);
      std::vector<uint8_t> copy(urb.Length);
      std::memcpy(copy.data(), &urb, urb.Length);
      urbs_.push_back(std::move(copy));
    });
  }
  std::vector<std::vector<uint8_t>> Urbs() {
    std::lock_guard lock(urbs_mutex_);
    return std::exchange(urbs_, {});
  }
  template <typename T>
  static const T& As(const std::vector<uint8_t>& bytes) {
    return *reinterpret_cast<const T*>(bytes.data());
  }

  sim::IoManager io_{kernel()};
  sim::PluggedCamera camera_;
  std::shared_ptr<sim::OpenFile> file_;
  std::vector<std::shared_ptr<sim::OpenFile>> extra_files_;
  std::mutex urbs_mutex_;
  std::vector<std::vector<uint8_t>> urbs_;
};

}  // namespace vk::drv
