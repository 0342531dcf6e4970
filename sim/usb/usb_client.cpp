#include "sim/usb/usb_client.h"

#include <cstring>

#include "common/byte_order.h"
#include "common/camera_protocol.h"
#include "common/usb/descriptors.h"

namespace vk::sim {
namespace {

template <typename T>
T Zeroed() {
  T urb;
  std::memset(&urb, 0, sizeof(urb));
  urb.Hdr.Length = sizeof(T);
  return urb;
}

}  // namespace

NtStatus UsbClient::SubmitSync(usb::UrbHeader* urb) {
  std::promise<NtStatus> done;
  auto result = done.get_future();
  device_->Submit(urb, [&done](NtStatus s) { done.set_value(s); });
  return result.get();
}

NtStatus UsbClient::Configure(uint32_t max_transfer) {
  const std::vector<uint8_t>& config = device_->camera().ConfigurationDescriptor();
  usb::InterfaceDescriptor d;
  if (!usb::FindInterfaceDescriptor(config.data(), config.size(), 0, 0, &d))
    return kStatusUnsuccessful;
  const size_t info_size = usb::InterfaceInformationSize(d.bNumEndpoints);
  std::vector<uint8_t> bytes(offsetof(usb::UrbSelectConfiguration, Interface) +
                             info_size);
  auto* urb = reinterpret_cast<usb::UrbSelectConfiguration*>(bytes.data());
  urb->Hdr.Length = static_cast<uint16_t>(bytes.size());
  urb->Hdr.Function = usb::kUrbFunctionSelectConfiguration;
  urb->ConfigurationDescriptor = const_cast<uint8_t*>(config.data());
  urb->Interface.Length = static_cast<uint16_t>(info_size);
  urb->Interface.NumberOfPipes = d.bNumEndpoints;
  for (int k = 0; k < d.bNumEndpoints; ++k)
    urb->Interface.Pipes[k].MaximumTransferSize = max_transfer;
  const NtStatus status = SubmitSync(&urb->Hdr);
  if (NtSuccess(status)) {
    configuration_ = urb->ConfigurationHandle;
    const auto* info = reinterpret_cast<const uint8_t*>(&urb->Interface);
    interface_.assign(info, info + urb->Interface.Length);
  }
  return status;
}

NtStatus UsbClient::SelectAlternate(uint8_t alternate) {
  const size_t pipes = 2;
  std::vector<uint8_t> bytes(usb::SelectInterfaceUrbSize(pipes));
  auto* urb = reinterpret_cast<usb::UrbSelectInterface*>(bytes.data());
  urb->Hdr.Length = static_cast<uint16_t>(bytes.size());
  urb->Hdr.Function = usb::kUrbFunctionSelectInterface;
  urb->ConfigurationHandle = configuration_;
  urb->Interface.Length = static_cast<uint16_t>(bytes.size() - 32);
  urb->Interface.AlternateSetting = alternate;
  const NtStatus status = SubmitSync(&urb->Hdr);
  if (NtSuccess(status)) {
    const auto* info = reinterpret_cast<const uint8_t*>(&urb->Interface);
    interface_.assign(info, info + urb->Interface.Length);
  }
  return status;
}

NtStatus UsbClient::Unconfigure() {
  auto urb = Zeroed<usb::UrbSelectConfiguration>();
  urb.Hdr.Function = usb::kUrbFunctionSelectConfiguration;
  return SubmitSync(&urb.Hdr);
}

const usb::InterfaceInformation* UsbClient::Interface() const {
  return interface_.empty()
             ? nullptr
             : reinterpret_cast<const usb::InterfaceInformation*>(interface_.data());
}

usb::UsbdPipeHandle UsbClient::Pipe(uint32_t index) const {
  const usb::InterfaceInformation* info = Interface();
  return info && index < info->NumberOfPipes ? info->Pipes[index].PipeHandle
                                             : nullptr;
}

NtStatus UsbClient::GetDescriptor(uint8_t type, uint8_t index,
                                  uint16_t language, uint8_t* buffer,
                                  uint32_t length, uint32_t* moved) {
  auto urb = Zeroed<usb::UrbControlDescriptorRequest>();
  urb.Hdr.Function = usb::kUrbFunctionGetDescriptorFromDevice;
  urb.DescriptorType = type;
  urb.Index = index;
  urb.LanguageId = language;
  urb.TransferBuffer = buffer;
  urb.TransferBufferLength = length;
  const NtStatus status = SubmitSync(&urb.Hdr);
  if (moved) *moved = urb.TransferBufferLength;
  return status;
}

NtStatus UsbClient::Vendor(bool in, uint8_t request, uint16_t value,
                           uint16_t index, uint8_t* data, uint32_t length,
                           uint32_t* moved) {
  auto urb = Zeroed<usb::UrbControlVendorOrClassRequest>();
  urb.Hdr.Function = usb::kUrbFunctionVendorDevice;
  urb.TransferFlags = usb::kUsbdShortTransferOk |
                      (in ? usb::kUsbdTransferDirectionIn : 0);
  urb.TransferBuffer = data;
  urb.TransferBufferLength = length;
  urb.Request = request;
  urb.Value = value;
  urb.Index = index;
  const NtStatus status = SubmitSync(&urb.Hdr);
  if (moved) *moved = urb.TransferBufferLength;
  return status;
}

bool UsbClient::WriteSensor(uint16_t reg, uint16_t value) {
  uint8_t ack = 0;
  uint32_t moved = 0;
  return NtSuccess(Vendor(true, VR_SENSOR_WRITE, value, reg, &ack, 1, &moved)) &&
         moved == 1 && ack == kAckByte;
}

bool UsbClient::ReadSensor(uint16_t reg, uint16_t* value) {
  uint8_t answer[3] = {};
  uint32_t moved = 0;
  const NtStatus s = Vendor(true, VR_SENSOR_READ, 0, reg, answer, 3, &moved);
  *value = LoadBe16(answer);
  return NtSuccess(s) && moved == 3 && answer[2] == kAckByte;
}

bool UsbClient::StreamControl(uint16_t word) {
  return NtSuccess(Vendor(false, VR_STREAM_CONTROL, word, kStreamControlIndex,
                          nullptr, 0, nullptr));
}

std::unique_ptr<PendingTransfer> UsbClient::StartBulkRead(uint32_t pipe,
                                                          uint8_t* buffer,
                                                          uint32_t length) {
  auto t = std::make_unique<PendingTransfer>();
  t->urb_.assign(sizeof(usb::UrbBulkOrInterruptTransfer), 0);
  auto* urb = reinterpret_cast<usb::UrbBulkOrInterruptTransfer*>(t->urb_.data());
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = usb::kUrbFunctionBulkOrInterruptTransfer;
  urb->PipeHandle = Pipe(pipe);
  urb->TransferFlags = usb::kUsbdTransferDirectionIn | usb::kUsbdShortTransferOk;
  urb->TransferBuffer = buffer;
  urb->TransferBufferLength = length;
  PendingTransfer* raw = t.get();
  device_->Submit(&urb->Hdr, [raw, urb](NtStatus s) {
    raw->promise_.set_value({s, urb->Hdr.Status, urb->TransferBufferLength});
  });
  return t;
}

TransferResult UsbClient::BulkRead(uint32_t pipe, uint8_t* buffer,
                                   uint32_t length) {
  return StartBulkRead(pipe, buffer, length)->Wait();
}

std::unique_ptr<PendingTransfer> UsbClient::StartIsoRead(uint32_t pipe,
                                                         uint8_t* buffer,
                                                         uint32_t packet_size,
                                                         uint32_t packets) {
  auto t = std::make_unique<PendingTransfer>();
  t->urb_.assign(usb::IsochUrbSize(packets), 0);
  auto* urb = reinterpret_cast<usb::UrbIsochTransfer*>(t->urb_.data());
  urb->Hdr.Length = static_cast<uint16_t>(t->urb_.size());
  urb->Hdr.Function = usb::kUrbFunctionIsochTransfer;
  urb->PipeHandle = Pipe(pipe);
  urb->TransferFlags = usb::kUsbdStartIsoTransferAsap |
                       usb::kUsbdShortTransferOk | usb::kUsbdTransferDirectionIn;
  urb->TransferBuffer = buffer;
  urb->TransferBufferLength = packet_size * packets;
  urb->NumberOfPackets = packets;
  for (uint32_t j = 0; j < packets; ++j) {
    urb->IsoPacket[j].Offset = j * packet_size;
    urb->IsoPacket[j].Length = packet_size;
  }
  PendingTransfer* raw = t.get();
  device_->Submit(&urb->Hdr, [raw, urb](NtStatus s) {
    uint32_t bytes = 0;
    for (uint32_t j = 0; j < urb->NumberOfPackets; ++j)
      bytes += urb->IsoPacket[j].Length;
    raw->promise_.set_value({s, urb->Hdr.Status, bytes});
  });
  return t;
}

NtStatus UsbClient::PipeRequest(uint16_t function, uint32_t pipe) {
  auto urb = Zeroed<usb::UrbPipeRequest>();
  urb.Hdr.Function = function;
  urb.PipeHandle = Pipe(pipe);
  return SubmitSync(&urb.Hdr);
}

}  // namespace vk::sim
