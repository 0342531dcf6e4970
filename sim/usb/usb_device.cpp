#include <algorithm>
#include <cstring>

#include "common/usb/descriptors.h"
#include "sim/usb/usb_host.h"

namespace vk::sim {
namespace {

using namespace std::chrono;

constexpr uint8_t kSetFeature = 3, kClearFeature = 1, kGetDescriptor = 6;
constexpr uint8_t kSetConfiguration = 9, kSetInterface = 11;
constexpr uint8_t kRequestTypeEndpoint = 0x02, kRequestTypeIn = 0x80;
constexpr uint16_t kEndpointHalt = 0;
constexpr auto kMicroframe = microseconds(125);
constexpr auto kIdlePoll = milliseconds(2);

template <typename T>
T* As(usb::UrbHeader* urb) {
  return reinterpret_cast<T*>(urb);
}

// The buffer of a transfer: its virtual address, or else its MDL's range.
// Null (and *ok false) when neither describes `length` bytes.
uint8_t* BufferOf(void* buffer, usb::Mdl* mdl, uint32_t length, bool* ok) {
  *ok = true;
  if (length == 0) return nullptr;
  if (buffer != nullptr) return static_cast<uint8_t*>(buffer);
  if (mdl != nullptr && mdl->byte_count >= length) return mdl->address();
  *ok = false;
  return nullptr;
}

// bmRequestType type and recipient bits of a class or vendor URB function.
bool RequestTypeOf(uint16_t function, uint8_t* type_bits) {
  switch (function) {
    case usb::kUrbFunctionVendorDevice: *type_bits = 0x40; return true;
    case usb::kUrbFunctionVendorInterface: *type_bits = 0x41; return true;
    case usb::kUrbFunctionVendorEndpoint: *type_bits = 0x42; return true;
    case usb::kUrbFunctionVendorOther: *type_bits = 0x43; return true;
    case usb::kUrbFunctionClassDevice: *type_bits = 0x20; return true;
    case usb::kUrbFunctionClassInterface: *type_bits = 0x21; return true;
    case usb::kUrbFunctionClassEndpoint: *type_bits = 0x22; return true;
    case usb::kUrbFunctionClassOther: *type_bits = 0x23; return true;
    default: return false;
  }
}

}  // namespace

NtStatus NtStatusOfUsbd(UsbdStatus status) {
  if (UsbdSuccess(status)) return kStatusSuccess;
  switch (status) {
    case kUsbdStatusCanceled: return kStatusCancelled;
    case kUsbdStatusDeviceGone: return kStatusDeviceNotConnected;
    case kUsbdStatusInvalidParameter:
    case kUsbdStatusInvalidUrbFunction:
    case kUsbdStatusInvalidPipeHandle: return kStatusInvalidParameter;
    default: return kStatusUnsuccessful;
  }
}

UsbDevice::UsbDevice(std::shared_ptr<Camera> camera, uint32_t address,
                     const UsbHostOptions& options)
    : camera_(std::move(camera)),
      address_(address),
      options_(options),
      plugged_at_(steady_clock::now()),
      link_free_at_(plugged_at_),
      thread_([this] { TransferThread(); }) {}

UsbDevice::~UsbDevice() {
  Disconnect();
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool UsbDevice::connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

size_t UsbDevice::QueuedTransfers() const {
  std::lock_guard lock(mutex_);
  return queue_.size() + (running_ ? 1 : 0);
}

NtStatus UsbDevice::Complete(usb::UrbHeader* urb, UsbdStatus status,
                             const UrbCompletion& done) {
  urb->Status = status;
  const NtStatus nt = NtStatusOfUsbd(status);
  if (done) done(nt);
  return nt;
}

NtStatus UsbDevice::Submit(usb::UrbHeader* urb, UrbCompletion done) {
  if (urb == nullptr) {
    if (done) done(kStatusInvalidParameter);
    return kStatusInvalidParameter;
  }
  if (!connected()) return Complete(urb, kUsbdStatusDeviceGone, done);
  switch (urb->Function) {
    case usb::kUrbFunctionSelectConfiguration:
      return SelectConfiguration(urb, done);
    case usb::kUrbFunctionSelectInterface:
      return SelectInterface(urb, done);
    case usb::kUrbFunctionAbortPipe:
    case usb::kUrbFunctionResetPipe:
      return PipeRequest(urb, done);
    case usb::kUrbFunctionGetCurrentFrameNumber:
      return FrameNumber(urb, done);
    case usb::kUrbFunctionGetDescriptorFromDevice:
      return DescriptorRequest(urb, done);
    case usb::kUrbFunctionSetFeatureToDevice:
      return FeatureRequest(urb, done);
    case usb::kUrbFunctionBulkOrInterruptTransfer:
    case usb::kUrbFunctionIsochTransfer:
      return DataTransfer(urb, std::move(done));
    default: {
      uint8_t type_bits = 0;
      if (RequestTypeOf(urb->Function, &type_bits))
        return ControlTransfer(urb, done);
      return Complete(urb, kUsbdStatusInvalidUrbFunction, done);
    }
  }
}

UsbdStatus UsbDevice::Setup(const SetupPacket& setup, uint8_t* data,
                            uint32_t* bytes) {
  const ControlResult r = camera_->Control(setup, data);
  if (bytes) *bytes = r.bytes;
  return r.stalled ? kUsbdStatusStallPid : kUsbdStatusSuccess;
}

NtStatus UsbDevice::ControlTransfer(usb::UrbHeader* urb,
                                    const UrbCompletion& done) {
  auto* u = As<usb::UrbControlVendorOrClassRequest>(urb);
  uint8_t type_bits = 0;
  RequestTypeOf(urb->Function, &type_bits);
  bool ok = false;
  uint8_t* data = BufferOf(u->TransferBuffer, u->TransferBufferMDL,
                           u->TransferBufferLength, &ok);
  if (urb->Length != sizeof(*u) || !ok || u->TransferBufferLength > 0xFFFF)
    return Complete(urb, kUsbdStatusInvalidParameter, done);
  const bool in = (u->TransferFlags & usb::kUsbdTransferDirectionIn) != 0;
  const SetupPacket setup{
      static_cast<uint8_t>(type_bits | (in ? kRequestTypeIn : 0)), u->Request,
      u->Value, u->Index, static_cast<uint16_t>(u->TransferBufferLength)};
  uint32_t bytes = 0;
  const UsbdStatus status = Setup(setup, data, &bytes);
  if (in) u->TransferBufferLength = UsbdSuccess(status) ? bytes : 0;
  return Complete(urb, status, done);
}

NtStatus UsbDevice::DescriptorRequest(usb::UrbHeader* urb,
                                      const UrbCompletion& done) {
  auto* u = As<usb::UrbControlDescriptorRequest>(urb);
  bool ok = false;
  uint8_t* data = BufferOf(u->TransferBuffer, u->TransferBufferMDL,
                           u->TransferBufferLength, &ok);
  if (urb->Length != sizeof(*u) || !ok || u->TransferBufferLength > 0xFFFF)
    return Complete(urb, kUsbdStatusInvalidParameter, done);
  const SetupPacket setup{
      kRequestTypeIn, kGetDescriptor,
      static_cast<uint16_t>((u->DescriptorType << 8) | u->Index), u->LanguageId,
      static_cast<uint16_t>(u->TransferBufferLength)};
  uint32_t bytes = 0;
  const UsbdStatus status = Setup(setup, data, &bytes);
  u->TransferBufferLength = UsbdSuccess(status) ? bytes : 0;
  return Complete(urb, status, done);
}

NtStatus UsbDevice::FeatureRequest(usb::UrbHeader* urb,
                                   const UrbCompletion& done) {
  auto* u = As<usb::UrbControlFeatureRequest>(urb);
  if (urb->Length != sizeof(*u))
    return Complete(urb, kUsbdStatusInvalidParameter, done);
  const SetupPacket setup{0x00, kSetFeature, u->FeatureSelector, u->Index, 0};
  return Complete(urb, Setup(setup, nullptr, nullptr), done);
}

NtStatus UsbDevice::FrameNumber(usb::UrbHeader* urb,
                                const UrbCompletion& done) {
  auto* u = As<usb::UrbGetCurrentFrameNumber>(urb);
  if (urb->Length < offsetof(usb::UrbGetCurrentFrameNumber, FrameNumber) + 4)
    return Complete(urb, kUsbdStatusInvalidParameter, done);
  // Frame numbers count milliseconds; the first frame after plugging is 1.
  u->FrameNumber = static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now() - plugged_at_).count() +
      1);
  return Complete(urb, kUsbdStatusSuccess, done);
}

usb::UsbdPipeHandle UsbDevice::HandleOf(uint8_t endpoint) const {
  const uintptr_t tag = 0x80000000u | ((address_ & 0x7F) << 24) |
                        (static_cast<uintptr_t>(generation_) << 8) | endpoint;
  return reinterpret_cast<usb::UsbdPipeHandle>(tag);
}

const UsbDevice::Pipe* UsbDevice::FindPipe(usb::UsbdPipeHandle handle) const {
  for (const Pipe& p : pipes_) {
    if (HandleOf(p.endpoint) == handle) return &p;
  }
  return nullptr;
}

bool UsbDevice::FillInterface(usb::InterfaceInformation* info, size_t room) {
  const std::vector<uint8_t>& config = camera_->ConfigurationDescriptor();
  usb::InterfaceDescriptor d;
  if (!usb::FindInterfaceDescriptor(config.data(), config.size(),
                                    info->InterfaceNumber,
                                    info->AlternateSetting, &d) ||
      room < usb::InterfaceInformationSize(d.bNumEndpoints))
    return false;
  ++generation_;
  pipes_.clear();
  info->Class = d.bInterfaceClass;
  info->SubClass = d.bInterfaceSubClass;
  info->Protocol = d.bInterfaceProtocol;
  info->InterfaceHandle = HandleOf(0);
  info->NumberOfPipes = d.bNumEndpoints;
  for (int k = 0; k < d.bNumEndpoints; ++k) {
    usb::EndpointDescriptor e;
    usb::FindEndpointDescriptor(config.data(), config.size(),
                                d.bInterfaceNumber, d.bAlternateSetting, k, &e);
    usb::PipeInformation& p = info->Pipes[k];
    p.MaximumPacketSize = e.wMaxPacketSize;
    p.EndpointAddress = e.bEndpointAddress;
    p.Interval = e.bInterval;
    p.PipeType = static_cast<usb::UsbdPipeType>(e.bmAttributes & 3);
    p.PipeHandle = HandleOf(e.bEndpointAddress);
    pipes_.push_back({e.bEndpointAddress, p.PipeType, e.wMaxPacketSize});
  }
  return true;
}

NtStatus UsbDevice::SelectConfiguration(usb::UrbHeader* urb,
                                        const UrbCompletion& done) {
  auto* u = As<usb::UrbSelectConfiguration>(urb);
  const size_t first = offsetof(usb::UrbSelectConfiguration, Interface);
  if (urb->Length < first)
    return Complete(urb, kUsbdStatusInvalidParameter, done);
  const bool unconfigure = u->ConfigurationDescriptor == nullptr;
  CancelAll(false, 0, kUsbdStatusCanceled);
  const SetupPacket setup{0x00, kSetConfiguration,
                          static_cast<uint16_t>(unconfigure ? 0 : 1), 0, 0};
  const UsbdStatus status = Setup(setup, nullptr, nullptr);
  if (!UsbdSuccess(status)) return Complete(urb, status, done);
  std::unique_lock lock(mutex_);
  configured_ = false;
  pipes_.clear();
  ++generation_;
  if (unconfigure) {
    lock.unlock();
    return Complete(urb, kUsbdStatusSuccess, done);
  }
  for (size_t offset = first;
       offset + usb::kInterfaceInformationFixed <= urb->Length;) {
    auto* info = reinterpret_cast<usb::InterfaceInformation*>(
        reinterpret_cast<uint8_t*>(urb) + offset);
    if (info->Length < usb::kInterfaceInformationFixed ||
        offset + info->Length > urb->Length || !FillInterface(info, info->Length)) {
      lock.unlock();
      return Complete(urb, kUsbdStatusInvalidParameter, done);
    }
    offset += info->Length;
  }
  configured_ = true;
  u->ConfigurationHandle = reinterpret_cast<usb::UsbdConfigurationHandle>(
      static_cast<uintptr_t>(0xC0000000u | (address_ & 0xFFFF)));
  lock.unlock();
  return Complete(urb, kUsbdStatusSuccess, done);
}

NtStatus UsbDevice::SelectInterface(usb::UrbHeader* urb,
                                    const UrbCompletion& done) {
  auto* u = As<usb::UrbSelectInterface>(urb);
  const size_t first = offsetof(usb::UrbSelectInterface, Interface);
  const auto expected_config = reinterpret_cast<usb::UsbdConfigurationHandle>(
      static_cast<uintptr_t>(0xC0000000u | (address_ & 0xFFFF)));
  bool configured = false;
  {
    std::lock_guard lock(mutex_);
    configured = configured_;
  }
  if (urb->Length < first + usb::kInterfaceInformationFixed ||
      first + u->Interface.Length > urb->Length || !configured ||
      u->ConfigurationHandle != expected_config)
    return Complete(urb, kUsbdStatusInvalidParameter, done);
  CancelAll(false, 0, kUsbdStatusCanceled);
  const SetupPacket setup{0x01, kSetInterface, u->Interface.AlternateSetting,
                          u->Interface.InterfaceNumber, 0};
  const UsbdStatus status = Setup(setup, nullptr, nullptr);
  if (!UsbdSuccess(status)) return Complete(urb, status, done);
  std::unique_lock lock(mutex_);
  const bool filled = FillInterface(&u->Interface, u->Interface.Length);
  lock.unlock();
  return Complete(urb, filled ? kUsbdStatusSuccess : kUsbdStatusInvalidParameter,
                  done);
}

NtStatus UsbDevice::PipeRequest(usb::UrbHeader* urb, const UrbCompletion& done) {
  auto* u = As<usb::UrbPipeRequest>(urb);
  if (urb->Length != usb::PipeRequestLength(0) &&
      urb->Length != usb::PipeRequestLength(usb::kUsbdiVersionFullPipeRequest))
    return Complete(urb, kUsbdStatusInvalidParameter, done);
  std::unique_lock lock(mutex_);
  const Pipe* pipe = FindPipe(u->PipeHandle);
  if (pipe == nullptr) {
    lock.unlock();
    return Complete(urb, kUsbdStatusInvalidPipeHandle, done);
  }
  const uint8_t endpoint = pipe->endpoint;
  lock.unlock();
  if (urb->Function == usb::kUrbFunctionAbortPipe) {
    CancelAll(true, endpoint, kUsbdStatusCanceled);
    return Complete(urb, kUsbdStatusSuccess, done);
  }
  const SetupPacket clear{kRequestTypeEndpoint, kClearFeature, kEndpointHalt,
                          endpoint, 0};
  return Complete(urb, Setup(clear, nullptr, nullptr), done);
}

NtStatus UsbDevice::DataTransfer(usb::UrbHeader* urb, UrbCompletion done) {
  const bool iso = urb->Function == usb::kUrbFunctionIsochTransfer;
  // The bulk and isochronous URBs share their layout up to the HCD area.
  auto* u = As<usb::UrbBulkOrInterruptTransfer>(urb);
  bool ok = false;
  BufferOf(u->TransferBuffer, u->TransferBufferMDL, u->TransferBufferLength,
           &ok);
  if (iso) {
    auto* i = As<usb::UrbIsochTransfer>(urb);
    const size_t needed = offsetof(usb::UrbIsochTransfer, IsoPacket) +
                          size_t{i->NumberOfPackets} * sizeof(usb::IsoPacketDescriptor);
    ok = ok && i->NumberOfPackets > 0 && urb->Length >= needed;
    for (uint32_t j = 0; ok && j < i->NumberOfPackets; ++j) {
      const uint32_t end = j + 1 < i->NumberOfPackets ? i->IsoPacket[j + 1].Offset
                                                      : i->TransferBufferLength;
      ok = i->IsoPacket[j].Offset <= end && end <= i->TransferBufferLength;
    }
  } else {
    ok = ok && urb->Length == sizeof(usb::UrbBulkOrInterruptTransfer);
  }
  if (!ok) return Complete(urb, kUsbdStatusInvalidParameter, done);
  std::unique_lock lock(mutex_);
  const Pipe* pipe = FindPipe(u->PipeHandle);
  const auto wanted = iso ? usb::UsbdPipeType::kIsochronous : usb::UsbdPipeType::kBulk;
  if (pipe == nullptr || (pipe->type != wanted &&
                          !(!iso && pipe->type == usb::UsbdPipeType::kInterrupt))) {
    lock.unlock();
    return Complete(urb, kUsbdStatusInvalidPipeHandle, done);
  }
  if ((pipe->endpoint & usb::kEndpointDirectionIn) == 0) {
    // The command pipe accepts whatever it is sent.
    lock.unlock();
    return Complete(urb, kUsbdStatusSuccess, done);
  }
  queue_.push_back(std::make_shared<Transfer>(Transfer{urb, std::move(done)}));
  lock.unlock();
  wake_.notify_all();
  return kStatusPending;
}

void UsbDevice::CancelAll(bool only_endpoint, uint8_t endpoint,
                          UsbdStatus status) {
  std::vector<std::shared_ptr<Transfer>> cancelled;
  std::unique_lock lock(mutex_);
  auto matches = [&](const std::shared_ptr<Transfer>& t) {
    if (!only_endpoint) return true;
    const Pipe* p = FindPipe(As<usb::UrbBulkOrInterruptTransfer>(t->urb)->PipeHandle);
    return p != nullptr && p->endpoint == endpoint;
  };
  for (auto it = queue_.begin(); it != queue_.end();) {
    if (matches(*it)) {
      cancelled.push_back(*it);
      it = queue_.erase(it);
    } else {
      ++it;
    }
  }
  const bool wait_running = running_ && matches(running_);
  if (wait_running) running_->cancelled = true;
  wake_.notify_all();
  // The transfer thread completes the transfer it is moving; wait for that
  // unless this is the transfer thread itself (a completion routine).
  if (wait_running && std::this_thread::get_id() != thread_.get_id())
    wake_.wait(lock, [&] { return running_ == nullptr; });
  lock.unlock();
  for (auto& t : cancelled) Complete(t->urb, status, t->done);
}

bool UsbDevice::Cancel(const usb::UrbHeader* urb) {
  std::unique_lock lock(mutex_);
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    if ((*it)->urb == urb) {
      std::shared_ptr<Transfer> t = *it;
      queue_.erase(it);
      lock.unlock();
      Complete(t->urb, kUsbdStatusCanceled, t->done);
      return true;
    }
  }
  if (running_ && running_->urb == urb && !running_->cancelled) {
    running_->cancelled = true;
    wake_.notify_all();
    return true;
  }
  return false;
}

NtStatus UsbDevice::ResetPort() {
  if (!connected()) return kStatusDeviceNotConnected;
  CancelAll(false, 0, kUsbdStatusCanceled);
  camera_->Reset();
  return kStatusSuccess;
}

void UsbDevice::Disconnect() {
  std::deque<std::shared_ptr<Transfer>> gone;
  {
    std::lock_guard lock(mutex_);
    if (!connected_) return;
    connected_ = false;
    gone.swap(queue_);
    if (running_) running_->cancelled = true;
  }
  wake_.notify_all();
  for (auto& t : gone) Complete(t->urb, kUsbdStatusDeviceGone, t->done);
}

void UsbDevice::Throttle(uint64_t bytes, std::unique_lock<std::mutex>& lock,
                         const Transfer& t) {
  if (!options_.throttle) return;
  const auto now = steady_clock::now();
  const auto cost = duration_cast<steady_clock::duration>(
      duration<double>(bytes / options_.bulk_bytes_per_second));
  link_free_at_ = std::max(now, link_free_at_) + cost;
  const auto deadline = link_free_at_;
  wake_.wait_until(lock, deadline,
                   [&] { return t.cancelled || stop_ || !connected_; });
}

void UsbDevice::RunTransfer(Transfer& t, std::unique_lock<std::mutex>& lock) {
  auto* u = As<usb::UrbBulkOrInterruptTransfer>(t.urb);
  bool ok = false;
  uint8_t* buffer = BufferOf(u->TransferBuffer, u->TransferBufferMDL,
                             u->TransferBufferLength, &ok);
  UsbdStatus status = kUsbdStatusSuccess;
  if (t.urb->Function == usb::kUrbFunctionIsochTransfer) {
    auto* iso = As<usb::UrbIsochTransfer>(t.urb);
    const bool streaming = camera_->Streaming();
    const uint32_t n = iso->NumberOfPackets;
    iso->ErrorCount = 0;
    lock.unlock();
    for (uint32_t j = 0; j < n; ++j) {
      usb::IsoPacketDescriptor& p = iso->IsoPacket[j];
      const uint32_t end = j + 1 < n ? iso->IsoPacket[j + 1].Offset
                                     : iso->TransferBufferLength;
      const uint32_t room = std::min<uint32_t>(end - p.Offset, kIsoPacketSize);
      StreamRead r;
      if (streaming && room > 0) r = camera_->ReadStream(buffer + p.Offset, room);
      p.Length = r.bytes;
      p.Status = r.babble ? kUsbdStatusDataOverrun : kUsbdStatusSuccess;
      if (r.babble) ++iso->ErrorCount;
    }
    lock.lock();
    if (options_.throttle) {
      wake_.wait_for(lock, kMicroframe * n,
                     [&] { return t.cancelled || stop_ || !connected_; });
    }
  } else {
    lock.unlock();
    const StreamRead r = camera_->ReadStream(buffer, u->TransferBufferLength);
    lock.lock();
    Throttle(r.bytes, lock, t);
    u->TransferBufferLength = r.bytes;
    if (r.babble) status = kUsbdStatusBabbleDetected;
  }
  if (!connected_) {
    status = kUsbdStatusDeviceGone;
  } else if (t.cancelled) {
    status = kUsbdStatusCanceled;
  }
  t.urb->Status = status;
}

void UsbDevice::TransferThread() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (queue_.empty()) {
      wake_.wait(lock);
      continue;
    }
    std::shared_ptr<Transfer> t = queue_.front();
    const bool iso = t->urb->Function == usb::kUrbFunctionIsochTransfer;
    const uint8_t endpoint = iso ? kIsoEndpoint : kImageEndpoint;
    if (camera_->StallTransfer(endpoint)) {
      queue_.pop_front();
      lock.unlock();
      As<usb::UrbBulkOrInterruptTransfer>(t->urb)->TransferBufferLength = 0;
      Complete(t->urb, kUsbdStatusStallPid, t->done);
      lock.lock();
      continue;
    }
    if (!iso && !camera_->Streaming()) {
      // The camera sends nothing; the transfer waits as a real IN would.
      wake_.wait_for(lock, kIdlePoll);
      continue;
    }
    queue_.pop_front();
    running_ = t;
    RunTransfer(*t, lock);
    running_ = nullptr;
    wake_.notify_all();
    const int64_t unplug_after = camera_->Faults().unplug_after_frames;
    const bool unplug =
        unplug_after >= 0 &&
        camera_->FramesBegun() > static_cast<uint64_t>(unplug_after);
    lock.unlock();
    if (t->done) t->done(NtStatusOfUsbd(t->urb->Status));
    if (unplug) Disconnect();
    lock.lock();
  }
}

}  // namespace vk::sim
