#include "twain/protocol/data_source.h"

#include <cstring>
#include <new>

#include "twain/protocol/strings.h"

namespace vk::twain {
namespace {

constexpr TW_UINT16 kOurLanguage = 86;
constexpr TW_UINT16 kOurCountry = 86;

void LoadString34(int id, TW_STR32 out) {
  std::memset(out, 0, sizeof(TW_STR32));
  std::strncpy(out, ResourceString(id), sizeof(TW_STR32) - 1);
}

// Triplets that never look at their data, which may then be null; every
// other one reads or writes it.
bool LeavesDataAlone(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg) {
  if (dg == DG_CONTROL) {
    return (dat == DAT_IDENTITY && msg == MSG_CLOSEDS) ||
           (dat == DAT_USERINTERFACE && msg == MSG_DISABLEDS) ||
           (dat == DAT_XFERGROUP && msg == MSG_SET);
  }
  return dg == DG_IMAGE &&
         (dat == DAT_IMAGEFILEXFER ||
          (dat == DAT_IMAGELAYOUT && (msg == MSG_SET || msg == MSG_RESET)));
}

}  // namespace

CDataSource::CDataSource(bool chinese, int processors, DWORD first_image_wait_ms)
    : capabilities_(std::make_unique<CCapabilityStore>(&manager_)),
      chinese_(chinese),
      processors_(processors),
      first_image_wait_ms_(first_image_wait_ms) {
  identity_.Version = {1, 0, kOurLanguage, kOurCountry, {}};
  LoadString34(kStringInfo, identity_.Version.Info);
  identity_.ProtocolMajor = 1;
  identity_.ProtocolMinor = 8;
  // DF_DS2: a 2.x source manager hands over its entry points, the only way
  // a notice reaches the application where no "twain_32.dll" exists.
  identity_.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
  LoadString34(kStringManufacturer, identity_.Manufacturer);
  LoadString34(kStringFamily, identity_.ProductFamily);
  LoadString34(kStringProduct, identity_.ProductName);
}

CDataSource::~CDataSource() { CloseContext(); }

TW_UINT16 CDataSource::Fail(TW_UINT16 condition) {
  condition_ = condition;
  return TWRC_FAILURE;
}

TW_UINT16 CDataSource::Entry(TW_IDENTITY* origin, TW_UINT32 dg, TW_UINT16 dat,
                             TW_UINT16 msg, TW_MEMREF data) {
  // One application at a time: another one's calls change nothing.
  if (application_.Id != 0 && (!origin || origin->Id != application_.Id)) return TWRC_FAILURE;
  if (msg == MSG_PROCESSEVENT) return ProcessEvent(static_cast<TW_EVENT*>(data));
  if (dg != DG_CONTROL && dat != DAT_STATUS) condition_ = TWCC_SUCCESS;
  if (data == nullptr && !LeavesDataAlone(dg, dat, msg)) return Fail(TWCC_BADVALUE);
  if (dg == DG_CONTROL) return Control(origin, dat, msg, data);
  if (dg == DG_IMAGE) return Image(dat, msg, data);
  return Fail(TWCC_BADPROTOCOL);
}

TW_UINT16 CDataSource::ProcessEvent(TW_EVENT* event) {
  if (!dialog_ || !event || !event->pEvent) return TWRC_NOTDSEVENT;
  if (!IsDialogMessageA(dialog_->window(), static_cast<LPMSG>(event->pEvent)))
    return TWRC_NOTDSEVENT;
  event->TWMessage = MSG_NULL;
  return TWRC_DSEVENT;
}

TW_UINT16 CDataSource::Control(TW_IDENTITY* origin, TW_UINT16 dat, TW_UINT16 msg,
                               TW_MEMREF data) {
  switch (dat) {
    case DAT_CAPABILITY: {
      const bool old = application_.ProtocolMajor <= 1 && application_.ProtocolMinor <= 5 &&
                       application_.Id != 0;
      return capabilities_->Request(msg, static_cast<TW_CAPABILITY*>(data), &condition_, old);
    }
    case DAT_IDENTITY: return Identity(origin, msg, static_cast<TW_IDENTITY*>(data));
    case DAT_PENDINGXFERS: return PendingTransfers(msg, static_cast<TW_PENDINGXFERS*>(data));
    case DAT_SETUPMEMXFER: return SetupMemory(msg, static_cast<TW_SETUPMEMXFER*>(data));
    case DAT_SETUPFILEXFER: return SetupFile(msg, static_cast<TW_SETUPFILEXFER*>(data));
    case DAT_STATUS: return Status(msg, static_cast<TW_STATUS*>(data));
    case DAT_USERINTERFACE: return UserInterface(msg, static_cast<TW_USERINTERFACE*>(data));
    case DAT_XFERGROUP: return TransferGroup(msg, data);
    case DAT_ENTRYPOINT: return EntryPoint(msg, static_cast<TW_ENTRYPOINT*>(data));
    default: return Fail(TWCC_BADPROTOCOL);
  }
}

TW_UINT16 CDataSource::Image(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  switch (dat) {
    case DAT_IMAGEINFO: return ImageInfo(msg, static_cast<TW_IMAGEINFO*>(data));
    case DAT_IMAGELAYOUT: return ImageLayout(msg, static_cast<TW_IMAGELAYOUT*>(data));
    case DAT_IMAGEMEMXFER:
      if (!InStates(6, 6)) return Fail(TWCC_SEQERROR);
      return MemoryTransfer(static_cast<TW_IMAGEMEMXFER*>(data));
    case DAT_IMAGENATIVEXFER: return NativeTransfer(msg, static_cast<TW_HANDLE*>(data));
    case DAT_IMAGEFILEXFER: return FileTransfer(msg);
    case DAT_PALETTE8: return Palette(msg, static_cast<TW_PALETTE8*>(data));
    default: return Fail(TWCC_BADPROTOCOL);
  }
}

TW_UINT16 CDataSource::Identity(TW_IDENTITY* origin, TW_UINT16 msg, TW_IDENTITY* data) {
  switch (msg) {
    case MSG_GET:
      *data = identity_;
      return TWRC_SUCCESS;
    case MSG_OPENDS: {
      if (!InStates(3, 3)) return Fail(TWCC_SEQERROR);
      if (application_.Id != 0) return Fail(TWCC_MAXCONNECTIONS);
      if (!context_) {
        auto context = std::make_unique<CAcquireContext>();
        context->capabilities = capabilities_.get();
        context->camera.reset(new (std::nothrow) CUSBDevice(processors_));
        if (!context->camera) {
          MessageBoxA(nullptr, "Can't Open 1.3M Camera(PLV210)!", nullptr,
                      MB_OK | MB_ICONWARNING);
          return Fail(TWCC_SEQERROR);
        }
        context_ = std::move(context);
      }
      if (origin) application_ = *origin;
      identity_ = *data;
      state_ = 4;
      return TWRC_SUCCESS;
    }
    case MSG_CLOSEDS:
      if (!InStates(4, 7)) return Fail(TWCC_SEQERROR);
      CloseContext();
      std::memset(transfer_file_, 0, sizeof(transfer_file_));
      application_.Id = 0;
      state_ = 3;
      return TWRC_SUCCESS;
    default: return Fail(TWCC_BADPROTOCOL);
  }
}

// The dialog goes first (it stops the camera), then the context.
void CDataSource::CloseContext() {
  dialog_.reset();
  context_.reset();
}

// False when the dialog's window could not be made or its camera could not
// start; nothing of it is left then.
bool CDataSource::OpenSourceDialog(HWND parent) {
  if (!context_) {
    // The dialog's end took the context with it: open the camera again.
    context_ = std::make_unique<CAcquireContext>();
    context_->capabilities = capabilities_.get();
    context_->camera = std::make_unique<CUSBDevice>(processors_);
  }
  dialog_ = std::make_unique<CSourceDialog>(
      parent, chinese_, context_->camera.get(), [this](uint16_t m) { NotifyHost(m); },
      [this] { context_.reset(); });
  // A dialog without a window (no desktop to show it on) or without a
  // capture thread cannot run the camera: refused rather than enabled.
  if (!dialog_->window() || !context_->camera->capture_running()) {
    dialog_.reset();
    return false;
  }
  context_->dialog_ready = 1;
  return true;
}

TW_UINT16 CDataSource::UserInterface(TW_UINT16 msg, TW_USERINTERFACE* ui) {
  switch (msg) {
    case MSG_ENABLEDS:
      if (!InStates(4, 4)) return Fail(TWCC_SEQERROR);
      parent_ = static_cast<HWND>(ui->hParent);
      if (!OpenSourceDialog(parent_)) return Fail(TWCC_LOWMEMORY);
      if (ui->ShowUI) {
        dialog_->Show();
        state_ = 5;
      } else {
        // Announced at once; a transfer asked for before the camera's
        // first image waits for it.
        NotifyHost(MSG_XFERREADY);
        state_ = 6;
      }
      return TWRC_SUCCESS;
    case MSG_DISABLEDS:
      if (!InStates(5, 7)) return Fail(TWCC_SEQERROR);
      dialog_.reset();
      state_ = 4;
      return TWRC_SUCCESS;
    default: return Fail(TWCC_BADPROTOCOL);
  }
}

TW_UINT16 CDataSource::PendingTransfers(TW_UINT16 msg, TW_PENDINGXFERS* pending) {
  switch (msg) {
    case MSG_GET:
      if (!InStates(4, 7)) return Fail(TWCC_SEQERROR);
      pending->Count = 0;
      return TWRC_SUCCESS;
    case MSG_RESET:
      if (!InStates(6, 7)) return Fail(TWCC_SEQERROR);
      pending->Count = 0;
      state_ = 5;
      return TWRC_SUCCESS;
    case MSG_ENDXFER:
      pending->Count = 0;
      if (!InStates(7, 7)) return Fail(TWCC_SEQERROR);
      state_ = 5;
      return TWRC_SUCCESS;
    default: return Fail(TWCC_BADPROTOCOL);
  }
}

TW_UINT16 CDataSource::TransferGroup(TW_UINT16 msg, TW_MEMREF data) {
  switch (msg) {
    case MSG_GET:
    case MSG_GETCURRENT:
    case MSG_GETDEFAULT:
    case MSG_RESET: {
      const TW_UINT16 image = static_cast<TW_UINT16>(DG_IMAGE);
      std::memcpy(data, &image, sizeof(image));
      return TWRC_SUCCESS;
    }
    case MSG_SET: return TWRC_SUCCESS;
    default: return Fail(TWCC_BADPROTOCOL);
  }
}

TW_UINT16 CDataSource::Status(TW_UINT16 msg, TW_STATUS* status) {
  if (msg != MSG_GET) return Fail(TWCC_BADPROTOCOL);
  status->ConditionCode = condition_;
  status->Reserved = condition_reserved_;
  condition_ = TWCC_SUCCESS;
  return TWRC_SUCCESS;
}

// DAT_ENTRYPOINT: a 2.x source manager hands its entry points over before
// it opens the source.
TW_UINT16 CDataSource::EntryPoint(TW_UINT16 msg, TW_ENTRYPOINT* points) {
  switch (msg) {
    case MSG_SET:
      if (!InStates(3, 3)) return Fail(TWCC_SEQERROR);
      if (!manager_.SetEntryPoints(*points)) return Fail(TWCC_BADVALUE);
      return TWRC_SUCCESS;
    case MSG_GET:
      if (!manager_.GetEntryPoints(points)) return Fail(TWCC_SEQERROR);
      return TWRC_SUCCESS;
    default:
      return Fail(TWCC_BADPROTOCOL);
  }
}

TW_UINT16 CDataSource::NotifyHost(TW_UINT16 message) {
  HMODULE module = nullptr;
  DSMENTRYPROC entry = manager_.Reach(&module);
  if (!entry) return TWRC_FAILURE;
  if (message == MSG_XFERREADY) state_ = 6;
  entry(&identity_, &application_, DG_CONTROL, DAT_NULL, message, nullptr);
  CManagerLink::Release(module);
  return TWRC_SUCCESS;
}

}  // namespace vk::twain
