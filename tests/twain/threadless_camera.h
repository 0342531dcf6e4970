// A camera engine on a system that gives it no threads, or only its first
// few: for the paths taken when a capture or reader thread cannot start.
#pragma once

#include <atomic>
#include <functional>
#include <system_error>
#include <thread>

#include "twain/camera/usb_device.h"

namespace vk::twain {

class ThreadlessCamera : public CUSBDevice {
 public:
  ThreadlessCamera(int processors, int threads) : CUSBDevice(processors), threads_(threads) {}

 protected:
  std::thread NewThread(std::function<void()> body) override {
    if (threads_-- <= 0)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return CUSBDevice::NewThread(std::move(body));
  }

 private:
  std::atomic<int> threads_;
};

}  // namespace vk::twain
