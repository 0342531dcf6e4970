// USB request blocks and interface records in the byte layout of 64-bit
// Windows (_URB_*, USBD_INTERFACE_INFORMATION). The driver builds these byte
// for byte; the simulated USB stack executes them. Field names follow the
// DDK's; pointer-sized fields are real pointers, so on 32-bit targets the
// layouts are those of 32-bit Windows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/usb/status.h"

namespace vk::usb {

struct Mdl;  // memory descriptor list; defined by the kernel in use

// URB function codes.
// clang-format off
inline constexpr uint16_t kUrbFunctionSelectConfiguration       = 0x0000;
inline constexpr uint16_t kUrbFunctionSelectInterface           = 0x0001;
inline constexpr uint16_t kUrbFunctionAbortPipe                 = 0x0002;
inline constexpr uint16_t kUrbFunctionGetCurrentFrameNumber     = 0x0007;
inline constexpr uint16_t kUrbFunctionBulkOrInterruptTransfer   = 0x0009;
inline constexpr uint16_t kUrbFunctionIsochTransfer             = 0x000A;
inline constexpr uint16_t kUrbFunctionGetDescriptorFromDevice   = 0x000B;
inline constexpr uint16_t kUrbFunctionSetFeatureToDevice        = 0x000D;
inline constexpr uint16_t kUrbFunctionVendorDevice              = 0x0017;
inline constexpr uint16_t kUrbFunctionVendorInterface           = 0x0018;
inline constexpr uint16_t kUrbFunctionVendorEndpoint            = 0x0019;
inline constexpr uint16_t kUrbFunctionClassDevice               = 0x001A;
inline constexpr uint16_t kUrbFunctionClassInterface            = 0x001B;
inline constexpr uint16_t kUrbFunctionClassEndpoint             = 0x001C;
inline constexpr uint16_t kUrbFunctionResetPipe                 = 0x001E;  // reset and clear stall
inline constexpr uint16_t kUrbFunctionClassOther                = 0x001F;
inline constexpr uint16_t kUrbFunctionVendorOther               = 0x0020;

// Transfer flags.
inline constexpr uint32_t kUsbdTransferDirectionIn  = 1;
inline constexpr uint32_t kUsbdShortTransferOk      = 2;
inline constexpr uint32_t kUsbdStartIsoTransferAsap = 4;

// Descriptor types.
inline constexpr uint8_t kDeviceDescriptorType        = 1;
inline constexpr uint8_t kConfigurationDescriptorType = 2;
inline constexpr uint8_t kStringDescriptorType        = 3;
inline constexpr uint8_t kInterfaceDescriptorType     = 4;
inline constexpr uint8_t kEndpointDescriptorType      = 5;
// clang-format on

enum class UsbdPipeType : int32_t {  // USBD_PIPE_TYPE
  kControl = 0,
  kIsochronous = 1,
  kBulk = 2,
  kInterrupt = 3,
};

using UsbdPipeHandle = void*;
using UsbdConfigurationHandle = void*;
using UsbdInterfaceHandle = void*;

struct UrbHeader {  // _URB_HEADER
  uint16_t Length;
  uint16_t Function;
  UsbdStatus Status;
  void* UsbdDeviceHandle;
  uint32_t UsbdFlags;
};

struct UrbHcdArea {  // _URB_HCD_AREA
  void* Reserved8[8];
};

struct UrbControlDescriptorRequest {  // _URB_CONTROL_DESCRIPTOR_REQUEST
  UrbHeader Hdr;
  void* Reserved;
  uint32_t Reserved0;
  uint32_t TransferBufferLength;
  void* TransferBuffer;
  Mdl* TransferBufferMDL;
  void* UrbLink;
  UrbHcdArea hca;
  uint16_t Reserved1;
  uint8_t Index;
  uint8_t DescriptorType;
  uint16_t LanguageId;
  uint16_t Reserved2;
};

struct UrbControlVendorOrClassRequest {  // _URB_CONTROL_VENDOR_OR_CLASS_REQUEST
  UrbHeader Hdr;
  void* Reserved;
  uint32_t TransferFlags;
  uint32_t TransferBufferLength;
  void* TransferBuffer;
  Mdl* TransferBufferMDL;
  void* UrbLink;
  UrbHcdArea hca;
  uint8_t RequestTypeReservedBits;
  uint8_t Request;
  uint16_t Value;
  uint16_t Index;
  uint16_t Reserved1;
};

struct UrbControlFeatureRequest {  // _URB_CONTROL_FEATURE_REQUEST
  UrbHeader Hdr;
  void* Reserved;
  uint32_t Reserved2;
  uint32_t Reserved3;
  void* Reserved4;
  Mdl* Reserved5;
  void* UrbLink;
  UrbHcdArea hca;
  uint16_t Reserved0;
  uint16_t FeatureSelector;
  uint16_t Index;
  uint16_t Reserved1;
};

struct UrbBulkOrInterruptTransfer {  // _URB_BULK_OR_INTERRUPT_TRANSFER
  UrbHeader Hdr;
  UsbdPipeHandle PipeHandle;
  uint32_t TransferFlags;
  uint32_t TransferBufferLength;
  void* TransferBuffer;
  Mdl* TransferBufferMDL;
  void* UrbLink;
  UrbHcdArea hca;
};

struct UrbPipeRequest {  // _URB_PIPE_REQUEST
  UrbHeader Hdr;
  UsbdPipeHandle PipeHandle;
  uint32_t Reserved;
};

struct UrbGetCurrentFrameNumber {  // _URB_GET_CURRENT_FRAME_NUMBER
  UrbHeader Hdr;
  uint32_t FrameNumber;
};

struct IsoPacketDescriptor {  // USBD_ISO_PACKET_DESCRIPTOR
  uint32_t Offset;
  uint32_t Length;
  UsbdStatus Status;
};

struct UrbIsochTransfer {  // _URB_ISOCH_TRANSFER, one packet declared
  UrbHeader Hdr;
  UsbdPipeHandle PipeHandle;
  uint32_t TransferFlags;
  uint32_t TransferBufferLength;
  void* TransferBuffer;
  Mdl* TransferBufferMDL;
  void* UrbLink;
  UrbHcdArea hca;
  uint32_t StartFrame;
  uint32_t NumberOfPackets;
  uint32_t ErrorCount;
  IsoPacketDescriptor IsoPacket[1];
};

struct PipeInformation {  // USBD_PIPE_INFORMATION
  uint16_t MaximumPacketSize;
  uint8_t EndpointAddress;
  uint8_t Interval;
  UsbdPipeType PipeType;
  UsbdPipeHandle PipeHandle;
  uint32_t MaximumTransferSize;
  uint32_t PipeFlags;
};

struct InterfaceInformation {  // USBD_INTERFACE_INFORMATION, one pipe declared
  uint16_t Length;
  uint8_t InterfaceNumber;
  uint8_t AlternateSetting;
  uint8_t Class;
  uint8_t SubClass;
  uint8_t Protocol;
  uint8_t Reserved;
  UsbdInterfaceHandle InterfaceHandle;
  uint32_t NumberOfPipes;
  PipeInformation Pipes[1];
};

struct UrbSelectInterface {  // _URB_SELECT_INTERFACE
  UrbHeader Hdr;
  UsbdConfigurationHandle ConfigurationHandle;
  InterfaceInformation Interface;
};

struct UrbSelectConfiguration {  // _URB_SELECT_CONFIGURATION
  UrbHeader Hdr;
  void* ConfigurationDescriptor;
  UsbdConfigurationHandle ConfigurationHandle;
  InterfaceInformation Interface;
};

// Sizes as the driver allocates them. An interface record with p pipes is
// 24 + 24 p bytes on 64-bit Windows; the fixed part is the record less its
// one declared pipe.
inline constexpr size_t kInterfaceInformationFixed =
    sizeof(InterfaceInformation) - sizeof(PipeInformation);

constexpr size_t InterfaceInformationSize(size_t pipes) {
  return kInterfaceInformationFixed + pipes * sizeof(PipeInformation);
}
constexpr size_t SelectInterfaceUrbSize(size_t pipes) {
  return sizeof(UrbSelectInterface) - sizeof(PipeInformation) +
         pipes * sizeof(PipeInformation);
}
// The driver sizes an isochronous URB for n packets as the structure plus n
// further packet descriptors (one more than the DDK's GET_ISO_URB_SIZE).
constexpr size_t IsochUrbSize(size_t packets) {
  return sizeof(UrbIsochTransfer) + packets * sizeof(IsoPacketDescriptor);
}
// Pipe requests are 4 bytes shorter under USBDI versions below 0x101.
inline constexpr uint32_t kUsbdiVersionFullPipeRequest = 0x101;
constexpr uint16_t PipeRequestLength(uint32_t usbdi_version) {
  return usbdi_version < kUsbdiVersionFullPipeRequest
             ? static_cast<uint16_t>(sizeof(UrbPipeRequest) - 4)
             : static_cast<uint16_t>(sizeof(UrbPipeRequest));
}

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(UrbHeader) == 24);
static_assert(sizeof(UrbControlDescriptorRequest) == 136);
static_assert(offsetof(UrbControlDescriptorRequest, TransferBufferLength) == 36);
static_assert(offsetof(UrbControlDescriptorRequest, Index) == 130);
static_assert(offsetof(UrbControlDescriptorRequest, LanguageId) == 132);
static_assert(sizeof(UrbControlVendorOrClassRequest) == 136);
static_assert(offsetof(UrbControlVendorOrClassRequest, TransferFlags) == 32);
static_assert(offsetof(UrbControlVendorOrClassRequest, TransferBufferMDL) == 48);
static_assert(offsetof(UrbControlVendorOrClassRequest, Request) == 129);
static_assert(offsetof(UrbControlVendorOrClassRequest, Value) == 130);
static_assert(offsetof(UrbControlVendorOrClassRequest, Index) == 132);
static_assert(sizeof(UrbControlFeatureRequest) == 136);
static_assert(offsetof(UrbControlFeatureRequest, FeatureSelector) == 130);
static_assert(sizeof(UrbBulkOrInterruptTransfer) == 128);
static_assert(offsetof(UrbBulkOrInterruptTransfer, PipeHandle) == 24);
static_assert(offsetof(UrbBulkOrInterruptTransfer, TransferBufferLength) == 36);
static_assert(sizeof(UrbPipeRequest) == 40);
static_assert(sizeof(UrbGetCurrentFrameNumber) == 32);
static_assert(sizeof(IsoPacketDescriptor) == 12);
static_assert(sizeof(UrbIsochTransfer) == 152);
static_assert(offsetof(UrbIsochTransfer, StartFrame) == 128);
static_assert(offsetof(UrbIsochTransfer, IsoPacket) == 140);
static_assert(sizeof(PipeInformation) == 24);
static_assert(offsetof(PipeInformation, PipeHandle) == 8);
static_assert(offsetof(PipeInformation, MaximumTransferSize) == 16);
static_assert(sizeof(InterfaceInformation) == 48);
static_assert(offsetof(InterfaceInformation, InterfaceHandle) == 8);
static_assert(offsetof(InterfaceInformation, NumberOfPipes) == 16);
static_assert(offsetof(InterfaceInformation, Pipes) == 24);
static_assert(sizeof(UrbSelectInterface) == 80);
static_assert(offsetof(UrbSelectInterface, Interface) == 32);
static_assert(SelectInterfaceUrbSize(2) == 56 + 24 * 2);
static_assert(sizeof(UrbSelectConfiguration) == 88);
static_assert(offsetof(UrbSelectConfiguration, Interface) == 40);
static_assert(InterfaceInformationSize(3) == 24 + 3 * 24);
static_assert(IsochUrbSize(8) == 152 + 12 * 8);
#endif

}  // namespace vk::usb
