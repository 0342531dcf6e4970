// The simulated camera: the USB device behind the driver. It answers the
// standard and vendor control requests of the real camera, keeps sensor
// registers and a non-volatile memory, and streams Bayer frames on its bulk
// image endpoint. It records every control request for tests.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/camera/fault_plan.h"
#include "sim/camera/nvram.h"
#include "sim/camera/scene.h"
#include "sim/camera/sensor.h"

namespace vk::sim {

// USB setup packet of a control transfer.
struct SetupPacket {
  uint8_t request_type;  // bmRequestType
  uint8_t request;       // bRequest
  uint16_t value;
  uint16_t index;
  uint16_t length;  // wLength
  bool device_to_host() const { return (request_type & 0x80) != 0; }
};

struct ControlResult {
  bool stalled = false;
  uint32_t bytes = 0;  // data stage bytes moved (answered, for IN)
};

// One control request as the camera saw it.
struct RecordedRequest {
  SetupPacket setup;
  std::vector<uint8_t> data;  // sent (OUT) or answered (IN) data stage
  bool stalled = false;
};

// Result of one IN transfer on a streaming endpoint.
struct StreamRead {
  uint32_t bytes = 0;
  bool ended_short = false;  // a short or zero-length packet ended it
  bool babble = false;       // the device sent more than the buffer held
};

struct HotPixel {
  int column, row;  // sensor array position
  uint8_t level;
};

struct CameraOptions {
  uint16_t vendor_id = 0x1A2B;
  uint16_t product_id = 0x3C4D;
  std::string manufacturer = "Velmoran";
  std::string product = "TRQ5C USB2.0 Camera";
  bool noise = true;
  uint32_t seed = 1;
  // Where the memory persists between runs; empty keeps it in memory.
  std::string nvram_file;
  std::vector<HotPixel> hot_pixels = DefaultHotPixels();
  FaultPlan faults;
  // Replace the camera's configuration descriptor and its product string
  // descriptor (string 2), for tests of odd devices.
  std::vector<uint8_t> configuration_descriptor;
  std::vector<uint8_t> product_descriptor;

  static std::vector<HotPixel> DefaultHotPixels();
};

struct FrameInfo {
  FrameGeometry geometry;
  uint64_t number;  // frames begun so far, this one included
  double exposure_us;
  double gain;
};
// Replaces the scene: writes geometry.bytes() bytes of Bayer samples.
using FrameGenerator = std::function<void(const FrameInfo&, uint8_t* out)>;

inline constexpr uint8_t kImageEndpoint = 0x86;  // bulk IN, interface 0 alt 0
inline constexpr uint8_t kCommandEndpoint = 0x02;  // bulk OUT
inline constexpr uint8_t kIsoEndpoint = 0x81;  // isochronous IN, alt 1
inline constexpr uint16_t kBulkPacketSize = 512;
inline constexpr uint16_t kIsoPacketSize = 1024;

class Camera {
 public:
  explicit Camera(CameraOptions options = {});
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  // Control endpoint. `data` holds setup.length bytes: the data to send for
  // OUT requests, room for the answer for IN requests.
  ControlResult Control(const SetupPacket& setup, uint8_t* data);

  // One IN transfer of up to `capacity` bytes from the image stream, with
  // USB bulk semantics (512-byte packets; a frame ends with a short or
  // zero-length packet). Only meaningful while Streaming().
  StreamRead ReadStream(uint8_t* dest, uint32_t capacity);
  bool Streaming() const;
  bool EndpointHalted(uint8_t endpoint) const;
  // Whether a transfer on `endpoint` stalls because the endpoint is halted;
  // each stall is counted, and a halt for a number of transfers ends by
  // itself after the last of them.
  bool StallTransfer(uint8_t endpoint);

  // A bus reset: streaming stops, halts and the memory unlock clear.
  void Reset();

  // For tests and tools.
  std::vector<RecordedRequest> Requests() const;
  void ClearRequests();
  uint16_t SensorRegister(uint16_t number) const;
  FrameGeometry Geometry() const;
  uint16_t MemoryWord(uint16_t address) const;
  void SetMemoryWord(uint16_t address, uint16_t word);
  void SetFaults(const FaultPlan& faults);
  FaultPlan Faults() const;
  void SetFrameGenerator(FrameGenerator generator);
  void HaltEndpoint(uint8_t endpoint);
  // Halts the image endpoint for the next `transfers` transfers only.
  void HaltImageEndpointFor(uint32_t transfers);
  // Transfers that stalled on a halted endpoint so far.
  uint64_t StalledTransfers() const;
  uint64_t FramesBegun() const;
  uint8_t ActiveConfiguration() const;
  uint8_t ActiveAlternateSetting() const;
  const CameraOptions& options() const { return options_; }

  const std::vector<uint8_t>& DeviceDescriptor() const { return device_desc_; }
  const std::vector<uint8_t>& ConfigurationDescriptor() const {
    return config_desc_;
  }

 private:
  ControlResult Standard(const SetupPacket& s, uint8_t* data);
  ControlResult Vendor(const SetupPacket& s, uint8_t* data);
  ControlResult Answer(const SetupPacket& s, uint8_t* data,
                       const uint8_t* answer, uint32_t length);
  uint8_t NextAck();
  void StreamControl(uint16_t word);
  void BeginFrame();
  std::vector<uint8_t> StringDescriptor(uint8_t index) const;

  const CameraOptions options_;
  std::vector<uint8_t> device_desc_;
  std::vector<uint8_t> config_desc_;

  mutable std::mutex mutex_;
  FaultPlan faults_;
  uint32_t wrong_acks_sent_ = 0;
  SensorRegisters sensor_;
  Nvram nvram_;
  uint8_t configuration_ = 0;
  uint8_t alternate_setting_ = 0;
  uint8_t gpio_latch_ = 0;
  uint8_t gpio_direction_ = 0;
  bool streaming_ = false;
  bool image_halted_ = false;
  uint32_t image_stalls_left_ = 0;  // 0: halted until cleared
  uint64_t stalled_transfers_ = 0;
  bool iso_halted_ = false;
  std::vector<RecordedRequest> requests_;

  // Stream position within the frame being sent.
  std::vector<uint8_t> frame_;
  uint32_t frame_length_ = 0;  // bytes sent for this frame (cut short or not)
  uint32_t frame_pos_ = 0;
  bool in_frame_ = false;
  bool zero_length_pending_ = false;
  uint64_t frames_begun_ = 0;
  FrameGenerator generator_;
};

}  // namespace vk::sim
