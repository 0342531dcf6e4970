// The source dialog and its settings sheet without windows: every control's
// state in a headless view, the dialog procedure reached through the host's
// window procedures (so MSG_PROCESSEVENT delivers WM_FRAME_NOTIFY to it).
#include <utility>

#include "platform/host/host.h"
#include "twain/dialog/control_ids.h"
#include "twain/dialog/placement.h"
#include "twain/dialog/source_dialog.h"

namespace vk::twain {
namespace {

constexpr int kMargin = 6;
constexpr int kPreviewWidth = 640;

void DeleteWindow(HWND window) {
  host::SetWindowProcedure(window, nullptr);
  host::DestroyMessageWindow(window);
}

}  // namespace

void CSourceDialog::CreateWindowAndView(HWND) {
  window_ = host::CreateMessageWindow();
  auto view = std::make_unique<CHeadlessView>(window_);
  headless_ = view.get();
  view_ = std::move(view);
  // The template's layout: the preview area under the controls' group.
  headless_->Place(IDC_PREVIEW, {kMargin, kMargin, kMargin + 320, kMargin + 240});
  headless_->Place(IDC_GROUPBOX, {kMargin, 260, kMargin + kPreviewWidth, 520});
  headless_->SetHandler([this](UINT m, WPARAM w, LPARAM l) { HandleMessage(m, w, l); });
  host::SetWindowProcedure(window_, [this](UINT m, WPARAM w, LPARAM l) {
    return HandleMessage(m, w, l);
  });
  InitDialog();
}

void CSourceDialog::DestroyWindowAndView() {
  DeleteWindow(window_);
  headless_ = nullptr;
  view_.reset();
}

// Centred on the work area: the parent has no pixels here.
void CSourceDialog::Show() {
  constexpr RECT kWorkArea = {0, 0, 1920, 1040};
  const auto [width, height] = headless_->DialogSize();
  headless_->MoveDialog(PlaceDialog(RECT{0, 0, width, height}, nullptr, kWorkArea));
  visible_ = true;
}

// The sheet is modal on Windows; headless, it stays open until closed, so
// that a test or a script can use its page meanwhile.
void CSourceDialog::OpenSettings() {
  if (page_) return;
  page_window_ = host::CreateMessageWindow();
  auto view = std::make_unique<CHeadlessView>(page_window_);
  page_headless_ = view.get();
  for (const auto& [spin, edit] :
       {std::pair{IDC_GAMMA_SPIN, IDC_GAMMA_EDIT}, {IDC_CONTRAST_SPIN, IDC_CONTRAST_EDIT},
        {IDC_SATURATION_SPIN, IDC_SATURATION_EDIT}, {IDC_TARGET_SPIN, IDC_TARGET_EDIT},
        {IDC_EXPOSURE_SPIN, IDC_EXPOSURE_EDIT}, {IDC_GAIN_SPIN, IDC_GAIN_EDIT},
        {IDC_RED_SPIN, IDC_RED_EDIT}, {IDC_GREEN_SPIN, IDC_GREEN_EDIT},
        {IDC_BLUE_SPIN, IDC_BLUE_EDIT}})
    page_headless_->SetBuddy(spin, edit);
  CreatePage(std::move(view));
  page_headless_->SetHandler([this](UINT m, WPARAM w, LPARAM l) {
    page_->OnPageMessage(page_window_, m, w, l);
  });
  page_->Initialize();
  page_->OnPageMessage(page_window_, WM_INITDIALOG, 0, 0);
}

void CSourceDialog::CloseSettings() {
  if (!page_) return;
  page_.reset();
  page_headless_ = nullptr;
  page_view_.reset();
  DeleteWindow(page_window_);
  page_window_ = nullptr;
}

}  // namespace vk::twain
