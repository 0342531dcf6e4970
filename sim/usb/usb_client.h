// Drives a simulated USB device directly with URBs, without the driver: the
// configuration, control requests and bulk reads a function driver would
// send. Used by the simulation's own tests and by the simulator demo.
#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <vector>

#include "sim/usb/usb_host.h"

namespace vk::sim {

struct TransferResult {
  NtStatus status = kStatusPending;
  UsbdStatus usbd_status = kUsbdStatusPending;
  uint32_t bytes = 0;
};

// One bulk or isochronous transfer in flight; owns its URB and buffer view.
class PendingTransfer {
 public:
  TransferResult Wait() { return future_.get(); }
  bool Ready() const {
    return future_.wait_for(std::chrono::seconds(0)) ==
           std::future_status::ready;
  }
  usb::UrbHeader* urb() { return reinterpret_cast<usb::UrbHeader*>(urb_.data()); }

 private:
  friend class UsbClient;
  std::vector<uint8_t> urb_;
  std::promise<TransferResult> promise_;
  std::future<TransferResult> future_ = promise_.get_future();
};

class UsbClient {
 public:
  explicit UsbClient(std::shared_ptr<UsbDevice> device)
      : device_(std::move(device)) {}

  // Selects configuration 1 with interface 0, alternate 0, every pipe's
  // maximum transfer size set to `max_transfer`.
  NtStatus Configure(uint32_t max_transfer = 3584000);
  NtStatus SelectAlternate(uint8_t alternate);
  NtStatus Unconfigure();
  const usb::InterfaceInformation* Interface() const;
  usb::UsbdPipeHandle Pipe(uint32_t index) const;

  NtStatus GetDescriptor(uint8_t type, uint8_t index, uint16_t language,
                         uint8_t* buffer, uint32_t length, uint32_t* moved);
  // A vendor request to the device; `moved` receives the data stage bytes.
  NtStatus Vendor(bool in, uint8_t request, uint16_t value, uint16_t index,
                  uint8_t* data, uint32_t length, uint32_t* moved);
  // Sensor register access checked as the SDK checks it (acknowledge byte).
  bool WriteSensor(uint16_t reg, uint16_t value);
  bool ReadSensor(uint16_t reg, uint16_t* value);
  bool StreamControl(uint16_t word);

  std::unique_ptr<PendingTransfer> StartBulkRead(uint32_t pipe, uint8_t* buffer,
                                                 uint32_t length);
  TransferResult BulkRead(uint32_t pipe, uint8_t* buffer, uint32_t length);
  std::unique_ptr<PendingTransfer> StartIsoRead(uint32_t pipe, uint8_t* buffer,
                                                uint32_t packet_size,
                                                uint32_t packets);
  NtStatus PipeRequest(uint16_t function, uint32_t pipe);

  UsbDevice& device() { return *device_; }

 private:
  NtStatus SubmitSync(usb::UrbHeader* urb);

  std::shared_ptr<UsbDevice> device_;
  usb::UsbdConfigurationHandle configuration_ = nullptr;
  std::vector<uint8_t> interface_;  // copy of the selected interface record
};

}  // namespace vk::sim
