#include "twain/dialog/source_dialog.h"

#include <algorithm>
#include <utility>

#include "twain/dialog/control_ids.h"
#include "twain/dialog/placement.h"
#include "twain/protocol/strings.h"
#include "twain/protocol/twain.h"

#ifndef _WIN32
#include "platform/host/host.h"
#endif

namespace vk::twain {
namespace {

constexpr int kPreviewWidth = 640;
constexpr int kPreviewHeight = 480;
constexpr int kMargin = 6;
const char* const kResolutions[] = {"2048 * 1536", "1024 * 768", "640 * 480"};

HWND NewWindow() {
#ifdef _WIN32
  return CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                         nullptr);
#else
  return host::CreateMessageWindow();
#endif
}

void DeleteWindow(HWND window) {
#ifdef _WIN32
  DestroyWindow(window);
#else
  host::SetWindowProcedure(window, nullptr);
  host::DestroyMessageWindow(window);
#endif
}

}  // namespace

CSourceDialog::CSourceDialog(HWND, bool chinese, CUSBDevice* camera, Notify notify,
                             std::function<void()> on_destroy)
    : chinese_(chinese),
      camera_(camera),
      notify_(std::move(notify)),
      on_destroy_(std::move(on_destroy)) {
  window_ = NewWindow();
  view_ = std::make_unique<CHeadlessView>(window_);
  // The template's layout: the preview area under the controls' group.
  view_->Place(IDC_PREVIEW, {kMargin, kMargin, kMargin + 320, kMargin + 240});
  view_->Place(IDC_GROUPBOX, {kMargin, 260, kMargin + kPreviewWidth, 520});
  view_->SetHandler([this](UINT m, WPARAM w, LPARAM l) { HandleMessage(m, w, l); });
#ifndef _WIN32
  host::SetWindowProcedure(window_, [this](UINT m, WPARAM w, LPARAM l) {
    return HandleMessage(m, w, l);
  });
#endif
  InitDialog();
}

CSourceDialog::~CSourceDialog() {
  CloseSettings();
  // WM_DESTROY: the preview stops, the camera and the context go.
  camera_->StopPreview();
  camera_->SetView(nullptr);
  camera_->SetDialog(nullptr);
  DeleteWindow(window_);
  if (on_destroy_) on_destroy_();
}

void CSourceDialog::Show() {
  constexpr RECT kWorkArea = {0, 0, 1920, 1040};
  const auto [width, height] = view_->DialogSize();
  view_->MoveDialog(PlaceDialog(RECT{0, 0, width, height}, nullptr, kWorkArea));
  visible_ = true;
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
    case WM_DRAWITEM:
      camera_->OnDrawItem(nullptr);
      return TRUE;
    case WM_FRAME_NOTIFY:
      camera_->OnFrameNotify(wparam);
      return TRUE;
    default:
      return FALSE;
  }
}

// The sheet is modal on Windows; headless, it stays open until closed, so
// that a test or a script can use its page meanwhile.
void CSourceDialog::OpenSettings() {
  if (page_) return;
  sheet_caption_ = ResourceString(chinese_ ? kStringSheetCaptionChinese : kStringSheetCaption);
  page_title_ = ResourceString(chinese_ ? kStringPageTitleChinese : kStringPageTitle);
  page_window_ = NewWindow();
  page_view_ = std::make_unique<CHeadlessView>(page_window_);
  for (const auto& [spin, edit] :
       {std::pair{IDC_GAMMA_SPIN, IDC_GAMMA_EDIT}, {IDC_CONTRAST_SPIN, IDC_CONTRAST_EDIT},
        {IDC_SATURATION_SPIN, IDC_SATURATION_EDIT}, {IDC_TARGET_SPIN, IDC_TARGET_EDIT},
        {IDC_EXPOSURE_SPIN, IDC_EXPOSURE_EDIT}, {IDC_GAIN_SPIN, IDC_GAIN_EDIT},
        {IDC_RED_SPIN, IDC_RED_EDIT}, {IDC_GREEN_SPIN, IDC_GREEN_EDIT},
        {IDC_BLUE_SPIN, IDC_BLUE_EDIT}})
    page_view_->SetBuddy(spin, edit);
  page_ = std::make_unique<CSetupPage>(camera_, page_view_.get());
  page_view_->SetHandler([this](UINT m, WPARAM w, LPARAM l) {
    page_->OnPageMessage(page_window_, m, w, l);
  });
  page_->Initialize();
  page_->OnPageMessage(page_window_, WM_INITDIALOG, 0, 0);
}

void CSourceDialog::CloseSettings() {
  if (!page_) return;
  page_.reset();
  page_view_.reset();
  DeleteWindow(page_window_);
  page_window_ = nullptr;
}

}  // namespace vk::twain
