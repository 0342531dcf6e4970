#include "twain/dialog/source_dialog.h"

#include <algorithm>
#include <utility>

#include "twain/dialog/control_ids.h"
#include "twain/protocol/strings.h"
#include "twain/protocol/twain.h"

namespace vk::twain {
namespace {

constexpr int kPreviewWidth = 640;
constexpr int kPreviewHeight = 480;
constexpr int kMargin = 6;
const char* const kResolutions[] = {"2048 * 1536", "1024 * 768", "640 * 480"};

}  // namespace

CSourceDialog::CSourceDialog(HWND parent, bool chinese, CUSBDevice* camera, Notify notify,
                             std::function<void()> on_destroy)
    : chinese_(chinese),
      camera_(camera),
      notify_(std::move(notify)),
      on_destroy_(std::move(on_destroy)) {
  CreateWindowAndView(parent);
}

CSourceDialog::~CSourceDialog() {
  CloseSettings();
  // WM_DESTROY: the preview stops, the camera and the context go.
  camera_->StopPreview();
  camera_->SetView(nullptr);
  camera_->SetDialog(nullptr);
  DestroyWindowAndView();
  if (on_destroy_) on_destroy_();
}

int CSourceDialog::template_id() const { return chinese_ ? kDialogChinese : kDialogEnglish; }

void CSourceDialog::InitDialog() {
  view_->Enable(IDC_CAPTURE, false);
  camera_->SetDialog(window_);
  camera_->SetView(view_.get());
  view_->SetControlSize(IDC_PREVIEW, kPreviewWidth, kPreviewHeight);
  const RECT preview = view_->ControlRect(IDC_PREVIEW);
  const RECT group = view_->ControlRect(IDC_GROUPBOX);
  view_->SetDialogSize(preview.right + kMargin,
                       std::max(preview.bottom, group.bottom) + kMargin);
  camera_->StartPreview(kPreviewWidth, kPreviewHeight);
  for (const char* text : kResolutions) view_->AddString(IDC_RESOLUTION, text);
  const int resolution = camera_->GetResolution();
  view_->Select(IDC_RESOLUTION, resolution >= 0 && resolution < 3 ? resolution : 0);
  camera_->OnInitDialog(window_);
}

LRESULT CSourceDialog::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = static_cast<int>(wparam & 0xFFFF);
      if (id == IDC_CAPTURE) {
        notify_(MSG_XFERREADY);
      } else if (id == IDC_CANCEL) {
        notify_(MSG_CLOSEDSREQ);
      } else if (id == IDC_SETTINGS) {
        OpenSettings();
      } else {
        camera_->OnDialogCommand(wparam, lparam);
      }
      return TRUE;
    }
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lparam);
      camera_->OnDrawItem(item ? item->hDC : nullptr);
      return TRUE;
    }
    case WM_FRAME_NOTIFY:
      camera_->OnFrameNotify(wparam);
      return TRUE;
    default:
      return FALSE;
  }
}

void CSourceDialog::CreatePage(std::unique_ptr<CDialogView> view) {
  sheet_caption_ = ResourceString(chinese_ ? kStringSheetCaptionChinese : kStringSheetCaption);
  page_title_ = ResourceString(chinese_ ? kStringPageTitleChinese : kStringPageTitle);
  page_view_ = std::move(view);
  page_ = std::make_unique<CSetupPage>(camera_, page_view_.get());
}

}  // namespace vk::twain
