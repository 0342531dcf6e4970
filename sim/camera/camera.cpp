#include "sim/camera/camera.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "common/camera_protocol.h"
#include "common/usb/descriptors.h"
#include "common/usb/urb.h"

namespace vk::sim {
namespace {

// Standard requests (USB 2.0 table 9-4).
constexpr uint8_t kGetStatus = 0, kClearFeature = 1, kSetFeature = 3;
constexpr uint8_t kGetDescriptor = 6, kGetConfiguration = 8;
constexpr uint8_t kSetConfiguration = 9, kSetInterface = 11;
constexpr uint16_t kEndpointHalt = 0;

constexpr uint8_t kTypeMask = 0x60, kTypeStandard = 0x00, kTypeVendor = 0x40;
constexpr uint8_t kRecipientMask = 0x1F, kRecipientDevice = 0;
constexpr uint8_t kRecipientEndpoint = 2;
constexpr uint8_t kFirmwareLoad = 0xA0;

std::vector<uint8_t> BuildDeviceDescriptor(const CameraOptions& o) {
  usb::DeviceDescriptor d{};
  d.bLength = sizeof(d);
  d.bDescriptorType = usb::kDeviceDescriptorType;
  d.bcdUSB = 0x0200;
  d.bDeviceClass = 0xFF;
  d.bMaxPacketSize0 = 64;
  d.idVendor = o.vendor_id;
  d.idProduct = o.product_id;
  d.bcdDevice = 0x0001;
  d.iManufacturer = 1;
  d.iProduct = 2;
  d.bNumConfigurations = 1;
  std::vector<uint8_t> bytes(sizeof(d));
  std::memcpy(bytes.data(), &d, sizeof(d));
  return bytes;
}

void Append(std::vector<uint8_t>& out, const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}

void AppendInterface(std::vector<uint8_t>& out, uint8_t alternate,
                     uint8_t in_endpoint, uint8_t in_attributes,
                     uint16_t in_packet) {
  const usb::InterfaceDescriptor i{sizeof(usb::InterfaceDescriptor),
                                   usb::kInterfaceDescriptorType,
                                   0, alternate, 2, 0xFF, 0, 0, 0};
  const usb::EndpointDescriptor out_ep{sizeof(usb::EndpointDescriptor),
                                       usb::kEndpointDescriptorType,
                                       kCommandEndpoint, 2, kBulkPacketSize, 0};
  const usb::EndpointDescriptor in_ep{sizeof(usb::EndpointDescriptor),
                                      usb::kEndpointDescriptorType, in_endpoint,
                                      in_attributes, in_packet, 1};
  Append(out, &i, sizeof(i));
  Append(out, &out_ep, sizeof(out_ep));
  Append(out, &in_ep, sizeof(in_ep));
}

// One configuration, interface 0: alternate 0 has the bulk OUT command pipe
// and the bulk IN image pipe (pipe indexes 0 and 1); alternate 1 replaces the
// image pipe by an isochronous IN pipe.
std::vector<uint8_t> BuildConfigurationDescriptor() {
  std::vector<uint8_t> out(sizeof(usb::ConfigurationDescriptor));
  AppendInterface(out, 0, kImageEndpoint, 2, kBulkPacketSize);
  AppendInterface(out, 1, kIsoEndpoint, 1, kIsoPacketSize);
  const usb::ConfigurationDescriptor c{
      sizeof(usb::ConfigurationDescriptor), usb::kConfigurationDescriptorType,
      static_cast<uint16_t>(out.size()), 1, 1, 0, 0x80, 250};
  std::memcpy(out.data(), &c, sizeof(c));
  return out;
}

}  // namespace

std::vector<HotPixel> CameraOptions::DefaultHotPixels() {
  return {{301, 411, 255}, {1022, 97, 250}, {1500, 1201, 255},
          {77, 1400, 240}, {1800, 700, 255}, {640, 480, 255}};
}

Camera::Camera(CameraOptions options)
    : options_(std::move(options)),
      device_desc_(BuildDeviceDescriptor(options_)),
      config_desc_(options_.configuration_descriptor.empty()
                       ? BuildConfigurationDescriptor()
                       : options_.configuration_descriptor),
      faults_(options_.faults),
      nvram_(options_.nvram_file) {
  sensor_.PowerOn(faults_.chip_version.value_or(kDefaultChipVersion));
}

ControlResult Camera::Control(const SetupPacket& setup, uint8_t* data) {
  std::lock_guard lock(mutex_);
  ControlResult r;
  switch (setup.request_type & kTypeMask) {
    case kTypeStandard:
      r = Standard(setup, data);
      break;
    case kTypeVendor:
      r = Vendor(setup, data);
      break;
    default:
      r.stalled = true;
  }
  RecordedRequest rec{setup, {}, r.stalled};
  const uint32_t moved = setup.device_to_host() ? r.bytes : setup.length;
  if (!r.stalled && data != nullptr) rec.data.assign(data, data + moved);
  requests_.push_back(std::move(rec));
  return r;
}

ControlResult Camera::Answer(const SetupPacket& s, uint8_t* data,
                             const uint8_t* answer, uint32_t length) {
  // The device never sends more than wLength bytes.
  const uint32_t n = std::min<uint32_t>(length, s.length);
  if (n > 0) std::memcpy(data, answer, n);
  return {false, n};
}

std::vector<uint8_t> Camera::StringDescriptor(uint8_t index) const {
  std::vector<uint8_t> d;
  if (index == 0) {
    d = {4, usb::kStringDescriptorType, 0, 0};
    StoreLe16(&d[2], kStringLanguageId);
    return d;
  }
  if (index == 2 && !options_.product_descriptor.empty())
    return options_.product_descriptor;
  const std::string* text = index == 1   ? &options_.manufacturer
                            : index == 2 ? &options_.product
                                         : nullptr;
  if (text == nullptr) return d;
  d = {static_cast<uint8_t>(2 + 2 * text->size()), usb::kStringDescriptorType};
  for (char c : *text) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(0);
  }
  return d;
}

ControlResult Camera::Standard(const SetupPacket& s, uint8_t* data) {
  const uint8_t recipient = s.request_type & kRecipientMask;
  switch (s.request) {
    case kGetDescriptor: {
      const uint8_t type = s.value >> 8, index = s.value & 0xFF;
      std::vector<uint8_t> d;
      if (type == usb::kDeviceDescriptorType) d = device_desc_;
      if (type == usb::kConfigurationDescriptorType && index == 0)
        d = config_desc_;
      if (type == usb::kStringDescriptorType) d = StringDescriptor(index);
      if (d.empty() || !s.device_to_host()) return {true, 0};
      return Answer(s, data, d.data(), static_cast<uint32_t>(d.size()));
    }
    case kGetConfiguration:
      return Answer(s, data, &configuration_, 1);
    case kSetConfiguration:
      if (s.value > 1) return {true, 0};
      configuration_ = static_cast<uint8_t>(s.value);
      alternate_setting_ = 0;
      return {};
    case kSetInterface:
      if (configuration_ == 0 || s.index != 0 || s.value > 1) return {true, 0};
      alternate_setting_ = static_cast<uint8_t>(s.value);
      return {};
    case kGetStatus: {
      const uint8_t status[2] = {0, 0};
      return Answer(s, data, status, 2);
    }
    case kClearFeature:
      if (recipient == kRecipientEndpoint && s.value == kEndpointHalt) {
        if ((s.index & 0xFF) == kImageEndpoint) image_halted_ = false;
        if ((s.index & 0xFF) == kIsoEndpoint) iso_halted_ = false;
      }
      return {};
    case kSetFeature:
      if (recipient == kRecipientEndpoint && s.value == kEndpointHalt &&
          (s.index & 0xFF) == kImageEndpoint)
        image_halted_ = true;
      return {};
    default:
      return {true, 0};
  }
}

uint8_t Camera::NextAck() {
  if (!faults_.wrong_ack) return kAckByte;
  if (faults_.wrong_ack_count != 0 &&
      wrong_acks_sent_ >= faults_.wrong_ack_count)
    return kAckByte;
  ++wrong_acks_sent_;
  return *faults_.wrong_ack;
}

ControlResult Camera::Vendor(const SetupPacket& s, uint8_t* data) {
  if ((s.request_type & kRecipientMask) != kRecipientDevice) return {true, 0};
  const bool in = s.device_to_host();
  uint8_t answer[3] = {0, 0, 0};
  switch (s.request) {
    case kFirmwareLoad:
      // The USB controller's own firmware-load request: writes to its
      // program memory, which this camera accepts and ignores.
      return {false, in ? 0u : s.length};
    case VR_STREAM_CONTROL:
      if (in || s.index != kStreamControlIndex ||
          (s.value != kStreamStop && s.value != kStreamStart &&
           s.value != kStreamRestart))
        return {true, 0};
      StreamControl(s.value);
      return {};
    case VR_GPIO:
      if (!in) return {true, 0};
      if (s.index == kGpioWrite) {
        gpio_latch_ = static_cast<uint8_t>(s.value);
      } else if (s.index == kGpioConfigure) {
        gpio_direction_ = static_cast<uint8_t>(s.value);
      } else if (s.index != kGpioRead) {
        return {true, 0};
      }
      // Output pins read back their latch; inputs float high.
      answer[0] = static_cast<uint8_t>((gpio_latch_ & gpio_direction_) |
                                       (~gpio_direction_ & 0xF0));
      return Answer(s, data, answer, 1);
    case VR_SENSOR_READ:
      if (!in) return {true, 0};
      StoreBe16(answer, sensor_.Read(s.index));
      answer[2] = s.index <= 0xFF ? NextAck() : 0;
      return Answer(s, data, answer, 3);
    case VR_SENSOR_WRITE:
      if (!in) return {true, 0};
      sensor_.Write(s.index, s.value);
      answer[0] = s.index <= 0xFF ? NextAck() : 0;
      return Answer(s, data, answer, 1);
    case VR_EEPROM_WRITE: {
      if (!in) return {true, 0};
      const bool acknowledged =
          faults_.nvram_refuses_writes || nvram_.Write(s.index, s.value);
      answer[0] = acknowledged ? NextAck() : 0;
      return Answer(s, data, answer, 1);
    }
    case VR_EEPROM_READ:
      if (!in) return {true, 0};
      StoreBe16(answer, nvram_.Read(s.index));
      answer[2] = NextAck();
      return Answer(s, data, answer, 3);
    default:
      return {true, 0};
  }
}

void Camera::StreamControl(uint16_t word) {
  // Stopping abandons the frame being sent; word 3 restarts at a frame
  // boundary; word 1 starts streaming if it was stopped.
  if (word == kStreamStop || word == kStreamRestart || !streaming_) {
    in_frame_ = false;
    zero_length_pending_ = false;
  }
  streaming_ = word != kStreamStop;
}

bool Camera::Streaming() const {
  std::lock_guard lock(mutex_);
  return streaming_ && sensor_.OutputEnabled() && configuration_ != 0 && !faults_.silent;
}

bool Camera::EndpointHalted(uint8_t endpoint) const {
  std::lock_guard lock(mutex_);
  return endpoint == kImageEndpoint ? image_halted_
                                    : endpoint == kIsoEndpoint && iso_halted_;
}

void Camera::BeginFrame() {
  const FrameGeometry g = sensor_.Geometry();
  ++frames_begun_;
  if (faults_.stall_after_frames >= 0 &&
      frames_begun_ > static_cast<uint64_t>(faults_.stall_after_frames)) {
    image_halted_ = true;
    faults_.stall_after_frames = -1;
  }
  frame_.resize(g.bytes());
  const FrameInfo info{g, frames_begun_, sensor_.ExposureMicroseconds(),
                       sensor_.AnalogGain()};
  if (generator_) {
    generator_(info, frame_.data());
  } else {
    RenderSettings settings{g, info.exposure_us, info.gain, options_.noise,
                            options_.seed * 7919u + static_cast<uint32_t>(frames_begun_)};
    RenderBayer(Scene::Default(), settings, frame_.data());
    for (const HotPixel& h : options_.hot_pixels) {
      const int dx = h.column - g.first_column, dy = h.row - g.first_row;
      if (dx < 0 || dy < 0 || dx % g.column_step || dy % g.row_step) continue;
      const int x = dx / g.column_step, y = dy / g.row_step;
      if (x < g.width && y < g.height)
        frame_[static_cast<size_t>(y) * g.width + x] = h.level;
    }
  }
  frame_length_ = g.bytes();
  if (faults_.cut_frame_bytes != 0 &&
      frames_begun_ % faults_.cut_every == 0)
    frame_length_ = std::min(frame_length_, faults_.cut_frame_bytes);
  frame_pos_ = 0;
  in_frame_ = true;
}

StreamRead Camera::ReadStream(uint8_t* dest, uint32_t capacity) {
  std::lock_guard lock(mutex_);
  // A transfer without room takes nothing from the stream.
  if (capacity == 0 || dest == nullptr) return {0, false, false};
  if (zero_length_pending_) {
    zero_length_pending_ = false;
    return {0, true, false};
  }
  if (!in_frame_) BeginFrame();
  const uint32_t available = frame_length_ - frame_pos_;
  const uint8_t* src = frame_.data() + frame_pos_;
  if (available > capacity) {
    std::memcpy(dest, src, capacity);
    // Whole packets only: a buffer that ends inside a packet overflows.
    const uint32_t whole = capacity / kBulkPacketSize * kBulkPacketSize;
    if (whole == capacity) {
      frame_pos_ += capacity;
      return {capacity, false, false};
    }
    frame_pos_ = std::min(frame_length_, whole + kBulkPacketSize);
    if (frame_pos_ == frame_length_) in_frame_ = false;
    return {capacity, false, true};
  }
  if (available > 0) std::memcpy(dest, src, available);
  frame_pos_ = frame_length_;
  in_frame_ = false;
  const bool last_packet_full =
      available > 0 && available % kBulkPacketSize == 0;
  if (last_packet_full && available == capacity) {
    // The buffer filled with the frame's last full packet; the zero-length
    // packet that ends the frame goes to the next transfer.
    zero_length_pending_ = true;
    return {available, false, false};
  }
  return {available, true, false};
}

void Camera::Reset() {
  std::lock_guard lock(mutex_);
  streaming_ = false;
  in_frame_ = false;
  zero_length_pending_ = false;
  image_halted_ = iso_halted_ = false;
  nvram_.Lock();
}

std::vector<RecordedRequest> Camera::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void Camera::ClearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

uint16_t Camera::SensorRegister(uint16_t number) const {
  std::lock_guard lock(mutex_);
  return sensor_.Read(number);
}

FrameGeometry Camera::Geometry() const {
  std::lock_guard lock(mutex_);
  return sensor_.Geometry();
}

uint16_t Camera::MemoryWord(uint16_t address) const {
  std::lock_guard lock(mutex_);
  return nvram_.Read(address);
}

void Camera::SetMemoryWord(uint16_t address, uint16_t word) {
  std::lock_guard lock(mutex_);
  nvram_.Poke(address, word);
}

void Camera::SetFaults(const FaultPlan& faults) {
  std::lock_guard lock(mutex_);
  faults_ = faults;
  wrong_acks_sent_ = 0;
  sensor_.SetChipVersion(faults.chip_version.value_or(kDefaultChipVersion));
}

FaultPlan Camera::Faults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

void Camera::SetFrameGenerator(FrameGenerator generator) {
  std::lock_guard lock(mutex_);
  generator_ = std::move(generator);
}

void Camera::HaltEndpoint(uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  if (endpoint == kImageEndpoint) {
    image_halted_ = true;
    image_stalls_left_ = 0;
  }
  if (endpoint == kIsoEndpoint) iso_halted_ = true;
}

void Camera::HaltImageEndpointFor(uint32_t transfers) {
  std::lock_guard lock(mutex_);
  image_halted_ = transfers > 0;
  image_stalls_left_ = transfers;
}

bool Camera::StallTransfer(uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  const bool halted = endpoint == kImageEndpoint
                          ? image_halted_
                          : endpoint == kIsoEndpoint && iso_halted_;
  if (!halted) return false;
  ++stalled_transfers_;
  if (endpoint == kImageEndpoint && image_stalls_left_ > 0 &&
      --image_stalls_left_ == 0)
    image_halted_ = false;
  return true;
}

uint64_t Camera::StalledTransfers() const {
  std::lock_guard lock(mutex_);
  return stalled_transfers_;
}

uint64_t Camera::FramesBegun() const {
  std::lock_guard lock(mutex_);
  return frames_begun_;
}

uint8_t Camera::ActiveConfiguration() const {
  std::lock_guard lock(mutex_);
  return configuration_;
}

uint8_t Camera::ActiveAlternateSetting() const {
  std::lock_guard lock(mutex_);
  return alternate_setting_;
}

}  // namespace vk::sim
