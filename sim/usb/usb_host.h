// The simulated USB host controller and root hub below the driver: it
// executes URBs against simulated cameras with real USB semantics (control
// requests, bulk transfers that end on a full buffer or a short packet,
// isochronous packets, pipe abort and reset, port reset, unplug), at USB 2.0
// high-speed bulk bandwidth unless told to run unthrottled.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/usb/urb.h"
#include "sim/camera/camera.h"
#include "sim/usb/mdl.h"

namespace vk::sim {

struct UsbHostOptions {
  bool throttle = true;
  double bulk_bytes_per_second = 40e6;
};

// Called exactly once per submitted URB with the request's NTSTATUS; the
// URB's header status and lengths are filled in before the call.
using UrbCompletion = std::function<void(NtStatus)>;

class UsbDevice {
 public:
  UsbDevice(std::shared_ptr<Camera> camera, uint32_t address,
            const UsbHostOptions& options);
  ~UsbDevice();
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  // Executes `urb`. Quick requests complete before Submit returns; transfers
  // on the streaming pipes complete later on the device's transfer thread.
  // Returns kStatusPending in that case, else the final status.
  NtStatus Submit(usb::UrbHeader* urb, UrbCompletion done);
  // Cancels a queued transfer: it completes with kStatusCancelled. False when
  // `urb` is not queued (already completed, or never submitted).
  bool Cancel(const usb::UrbHeader* urb);
  // IOCTL_INTERNAL_USB_RESET_PORT: outstanding transfers are cancelled, the
  // configuration and pipe handles stay valid, as the hub restores them.
  NtStatus ResetPort();
  // The camera leaves the bus: every outstanding and later request fails
  // with kStatusDeviceNotConnected.
  void Disconnect();

  bool connected() const;
  uint32_t address() const { return address_; }
  Camera& camera() { return *camera_; }
  size_t QueuedTransfers() const;

 private:
  struct Pipe {
    uint8_t endpoint;
    usb::UsbdPipeType type;
    uint16_t max_packet;
  };
  struct Transfer {
    usb::UrbHeader* urb;
    UrbCompletion done;
    bool cancelled = false;
  };

  NtStatus Complete(usb::UrbHeader* urb, UsbdStatus status,
                    const UrbCompletion& done);
  NtStatus ControlTransfer(usb::UrbHeader* urb, const UrbCompletion& done);
  NtStatus DescriptorRequest(usb::UrbHeader* urb, const UrbCompletion& done);
  NtStatus FeatureRequest(usb::UrbHeader* urb, const UrbCompletion& done);
  NtStatus SelectConfiguration(usb::UrbHeader* urb, const UrbCompletion& done);
  NtStatus SelectInterface(usb::UrbHeader* urb, const UrbCompletion& done);
  NtStatus PipeRequest(usb::UrbHeader* urb, const UrbCompletion& done);
  NtStatus DataTransfer(usb::UrbHeader* urb, UrbCompletion done);
  NtStatus FrameNumber(usb::UrbHeader* urb, const UrbCompletion& done);

  UsbdStatus Setup(const SetupPacket& setup, uint8_t* data, uint32_t* bytes);
  bool FillInterface(usb::InterfaceInformation* info, size_t room);
  const Pipe* FindPipe(usb::UsbdPipeHandle handle) const;
  usb::UsbdPipeHandle HandleOf(uint8_t endpoint) const;
  void CancelAll(bool only_endpoint, uint8_t endpoint, UsbdStatus status);
  void TransferThread();
  void RunTransfer(Transfer& t, std::unique_lock<std::mutex>& lock);
  void Throttle(uint64_t bytes, std::unique_lock<std::mutex>& lock,
                const Transfer& t);

  std::shared_ptr<Camera> camera_;
  const uint32_t address_;
  const UsbHostOptions options_;
  const std::chrono::steady_clock::time_point plugged_at_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Transfer>> queue_;
  std::shared_ptr<Transfer> running_;
  bool connected_ = true;
  bool stop_ = false;
  bool configured_ = false;
  uint16_t generation_ = 1;  // pipe handles of older selections are stale
  std::vector<Pipe> pipes_;
  std::chrono::steady_clock::time_point link_free_at_;
  std::thread thread_;
};

class UsbHost {
 public:
  explicit UsbHost(UsbHostOptions options = {});
  ~UsbHost();

  std::shared_ptr<UsbDevice> Plug(std::shared_ptr<Camera> camera);
  void Unplug(const std::shared_ptr<UsbDevice>& device);
  std::vector<std::shared_ptr<UsbDevice>> Devices() const;
  const UsbHostOptions& options() const { return options_; }

 private:
  const UsbHostOptions options_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<UsbDevice>> devices_;
  uint32_t next_address_ = 1;
};

// NTSTATUS with which the USB stack completes a request of this USBD status.
NtStatus NtStatusOfUsbd(UsbdStatus status);

}  // namespace vk::sim
