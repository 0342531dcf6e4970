// CDataSource: the one TWAIN data source of the library. It tracks the
// TWAIN state (3 to 7) and the condition code, answers every triplet that
// DS_Entry receives, keeps the link to the source manager, owns the
// capability store and, while an application has the source open, the
// acquire context with the camera.
#pragma once

#include <memory>

#include "twain/camera/usb_device.h"
#include "twain/dialog/source_dialog.h"
#include "twain/protocol/capability_store.h"
#include "twain/protocol/manager_link.h"
#include "twain/protocol/twain.h"

namespace vk::twain {

struct CAcquireContext {
  CCapabilityStore* capabilities = nullptr;
  uint32_t dialog_ready = 0;
  std::unique_ptr<CUSBDevice> camera;
};

// How long a transfer waits for the camera's first image without the
// capture getting on (the camera opening, a frame coming): the first image
// takes about a second; a camera that never delivers fails the transfer
// within this (or at once, once it has sent several frames and none whole).
inline constexpr DWORD kFirstImageWaitMs = 5000;

class CDataSource {
 public:
  // `chinese` chooses the Chinese dialogs; `processors` is handed to the
  // camera (0: ask the machine); a transfer waits for the camera's first
  // image while the capture gets on, giving up after `first_image_wait_ms`
  // without it getting on.
  explicit CDataSource(bool chinese, int processors = 0,
                       DWORD first_image_wait_ms = kFirstImageWaitMs);
  ~CDataSource();
  CDataSource(const CDataSource&) = delete;
  CDataSource& operator=(const CDataSource&) = delete;

  TW_UINT16 Entry(TW_IDENTITY* origin, TW_UINT32 dg, TW_UINT16 dat,
                  TW_UINT16 msg, TW_MEMREF data);
  // Sends `message` to the application through the source manager.
  TW_UINT16 NotifyHost(TW_UINT16 message);

  int state() const { return state_; }
  void set_condition(TW_UINT16 condition) { condition_ = condition; }
  TW_UINT16 condition() const { return condition_; }
  const TW_IDENTITY& identity() const { return identity_; }
  CAcquireContext* context() { return context_.get(); }
  const CManagerLink& manager() const { return manager_; }
  const char* transfer_file() const { return transfer_file_; }
  CSourceDialog* dialog() { return dialog_.get(); }

 private:
  TW_UINT16 Control(TW_IDENTITY* origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 Image(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 ProcessEvent(TW_EVENT* event);
  TW_UINT16 Identity(TW_IDENTITY* origin, TW_UINT16 msg, TW_IDENTITY* data);
  TW_UINT16 UserInterface(TW_UINT16 msg, TW_USERINTERFACE* ui);
  TW_UINT16 PendingTransfers(TW_UINT16 msg, TW_PENDINGXFERS* pending);
  TW_UINT16 TransferGroup(TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 Status(TW_UINT16 msg, TW_STATUS* status);
  TW_UINT16 EntryPoint(TW_UINT16 msg, TW_ENTRYPOINT* points);

  // Image triplets (image_transfer.cpp).
  TW_UINT16 ImageInfo(TW_UINT16 msg, TW_IMAGEINFO* info);
  TW_UINT16 ImageLayout(TW_UINT16 msg, TW_IMAGELAYOUT* layout);
  TW_UINT16 SetupMemory(TW_UINT16 msg, TW_SETUPMEMXFER* setup);
  TW_UINT16 SetupFile(TW_UINT16 msg, TW_SETUPFILEXFER* setup);
  TW_UINT16 NativeTransfer(TW_UINT16 msg, TW_HANDLE* handle);
  TW_UINT16 MemoryTransfer(TW_IMAGEMEMXFER* transfer);
  TW_UINT16 FileTransfer(TW_UINT16 msg);
  TW_UINT16 Palette(TW_UINT16 msg, TW_PALETTE8* palette);
  HGLOBAL NativeImage();
  void ImageSize(int* width, int* height);
  CUSBDevice* CameraWithImage();

  TW_UINT16 Fail(TW_UINT16 condition);
  bool InStates(int low, int high) const { return state_ >= low && state_ <= high; }
  void CloseContext();
  bool OpenSourceDialog(HWND parent);

  // First: the capability store borrows it.
  CManagerLink manager_;
  std::unique_ptr<CAcquireContext> context_;
  std::unique_ptr<CCapabilityStore> capabilities_;
  TW_IDENTITY identity_ = {};
  TW_IDENTITY application_ = {};
  TW_UINT16 condition_ = TWCC_SUCCESS;
  TW_UINT16 condition_reserved_ = 0;
  int state_ = 3;
  HWND parent_ = nullptr;
  std::unique_ptr<CSourceDialog> dialog_;
  // The path DAT_SETUPFILEXFER set: kept while the application has the
  // source open, through any number of enable and disable rounds.
  char transfer_file_[256] = {};
  const bool chinese_;
  const int processors_;
  const DWORD first_image_wait_ms_;
};

}  // namespace vk::twain
