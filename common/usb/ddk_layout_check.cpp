// Windows builds only: our URB and interface-record layouts against the
// DDK's own structures, field by field.
#include <windows.h>
#include <usb.h>

#include <cstddef>

#include "common/usb/status.h"
#include "common/usb/urb.h"

namespace vk::usb {

#define VK_SAME_LAYOUT(ours, theirs) \
  static_assert(sizeof(ours) == sizeof(theirs), #ours)
#define VK_SAME_OFFSET(ours, theirs, field) \
  static_assert(offsetof(ours, field) == offsetof(theirs, field), #ours "." #field)

VK_SAME_LAYOUT(UrbHeader, _URB_HEADER);
VK_SAME_LAYOUT(UrbControlDescriptorRequest, _URB_CONTROL_DESCRIPTOR_REQUEST);
VK_SAME_OFFSET(UrbControlDescriptorRequest, _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength);
VK_SAME_OFFSET(UrbControlDescriptorRequest, _URB_CONTROL_DESCRIPTOR_REQUEST, Index);
VK_SAME_OFFSET(UrbControlDescriptorRequest, _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId);
VK_SAME_LAYOUT(UrbControlVendorOrClassRequest, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
VK_SAME_OFFSET(UrbControlVendorOrClassRequest, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags);
VK_SAME_OFFSET(UrbControlVendorOrClassRequest, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request);
VK_SAME_OFFSET(UrbControlVendorOrClassRequest, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index);
VK_SAME_LAYOUT(UrbControlFeatureRequest, _URB_CONTROL_FEATURE_REQUEST);
VK_SAME_OFFSET(UrbControlFeatureRequest, _URB_CONTROL_FEATURE_REQUEST, FeatureSelector);
VK_SAME_LAYOUT(UrbBulkOrInterruptTransfer, _URB_BULK_OR_INTERRUPT_TRANSFER);
VK_SAME_OFFSET(UrbBulkOrInterruptTransfer, _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL);
VK_SAME_LAYOUT(UrbPipeRequest, _URB_PIPE_REQUEST);
VK_SAME_LAYOUT(UrbGetCurrentFrameNumber, _URB_GET_CURRENT_FRAME_NUMBER);
VK_SAME_LAYOUT(IsoPacketDescriptor, USBD_ISO_PACKET_DESCRIPTOR);
VK_SAME_LAYOUT(UrbIsochTransfer, _URB_ISOCH_TRANSFER);
VK_SAME_OFFSET(UrbIsochTransfer, _URB_ISOCH_TRANSFER, IsoPacket);
VK_SAME_LAYOUT(PipeInformation, USBD_PIPE_INFORMATION);
VK_SAME_OFFSET(PipeInformation, USBD_PIPE_INFORMATION, MaximumTransferSize);
VK_SAME_LAYOUT(InterfaceInformation, USBD_INTERFACE_INFORMATION);
VK_SAME_OFFSET(InterfaceInformation, USBD_INTERFACE_INFORMATION, Pipes);
VK_SAME_LAYOUT(UrbSelectInterface, _URB_SELECT_INTERFACE);
VK_SAME_LAYOUT(UrbSelectConfiguration, _URB_SELECT_CONFIGURATION);
VK_SAME_OFFSET(UrbSelectConfiguration, _URB_SELECT_CONFIGURATION, Interface);

static_assert(kUrbFunctionGetCurrentFrameNumber == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
static_assert(kUrbFunctionResetPipe == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
static_assert(kUrbFunctionVendorOther == URB_FUNCTION_VENDOR_OTHER);
static_assert(kUsbdStatusCanceled == static_cast<UsbdStatus>(USBD_STATUS_CANCELED));
static_assert(kUsbdStatusDeviceGone == static_cast<UsbdStatus>(USBD_STATUS_DEVICE_GONE));
static_assert(kUsbdStatusStallPid == static_cast<UsbdStatus>(USBD_STATUS_STALL_PID));

}  // namespace vk::usb
