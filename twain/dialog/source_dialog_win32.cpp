// The source dialog and its settings sheet as real windows: a modeless
// dialog from the data source's template, and a modal property sheet with
// the settings page, both driving the shared behaviour through Windows views.

// The common controls' headers need <windows.h> before them.
#include "platform/win32.h"

#include <commctrl.h>
#include <prsht.h>

#include <utility>

#include "twain/dialog/control_ids.h"
#include "twain/dialog/placement.h"
#include "twain/dialog/source_dialog.h"
#include "twain/dialog/win32_view.h"

namespace vk::twain {

struct SourceDialogWindows {
  // WM_INITDIALOG brings the dialog object; every later message goes to it.
  static INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wparam,
                                          LPARAM lparam) {
    if (message == WM_INITDIALOG) {
      auto* dialog = reinterpret_cast<CSourceDialog*>(lparam);
      SetWindowLongPtrA(window, DWLP_USER, lparam);
      dialog->window_ = window;
      dialog->view_ = std::make_unique<CWin32View>(window);
      dialog->InitDialog();
      return TRUE;
    }
    auto* dialog = reinterpret_cast<CSourceDialog*>(GetWindowLongPtrA(window, DWLP_USER));
    if (dialog == nullptr || dialog->view_ == nullptr) return FALSE;
    return dialog->HandleMessage(message, wparam, lparam);
  }

  // The page procedure: at WM_INITDIALOG the page's view gets its window,
  // the page object its values and controls; every message then goes to
  // the page object.
  static INT_PTR CALLBACK PageProcedure(HWND window, UINT message, WPARAM wparam,
                                        LPARAM lparam) {
    if (message == WM_INITDIALOG) {
      const auto* sheet_page = reinterpret_cast<const PROPSHEETPAGEA*>(lparam);
      auto* dialog = reinterpret_cast<CSourceDialog*>(sheet_page->lParam);
      SetWindowLongPtrA(window, DWLP_USER, sheet_page->lParam);
      dialog->page_window_ = window;
      static_cast<CWin32View*>(dialog->page_view_.get())->Attach(window);
      dialog->page_->Initialize();
    }
    auto* dialog = reinterpret_cast<CSourceDialog*>(GetWindowLongPtrA(window, DWLP_USER));
    if (dialog == nullptr || dialog->page_ == nullptr) return FALSE;
    return dialog->page_->OnPageMessage(window, message, wparam, lparam);
  }
};

void CSourceDialog::CreateWindowAndView(HWND parent) {
  const INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX),
                                         ICC_BAR_CLASSES | ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&controls);
  // WM_INITDIALOG sets the window and the view and runs InitDialog; a
  // dialog that cannot be created leaves both null.
  CreateDialogParamA(DataSourceModule(), MAKEINTRESOURCEA(template_id()), parent,
                     &SourceDialogWindows::DialogProcedure, reinterpret_cast<LPARAM>(this));
}

void CSourceDialog::DestroyWindowAndView() {
  if (window_) {
    SetWindowLongPtrA(window_, DWLP_USER, 0);
    DestroyWindow(window_);
  }
  window_ = nullptr;
  view_.reset();
}

static_assert(kStyleVisible == WS_VISIBLE && kStyleMinimised == WS_MINIMIZE);

void CSourceDialog::Show() {
  if (window_ == nullptr) return;
  RECT dialog = {}, work_area = {};
  GetWindowRect(window_, &dialog);
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work_area, 0);
  // A minimised or hidden parent's rectangle lies off the screen: the work
  // area is the reference then.
  HWND parent = GetParent(window_);
  RECT parent_rect = {};
  const bool centred_on_parent =
      parent != nullptr &&
      CentresOnParent(static_cast<uint32_t>(GetWindowLongPtrA(parent, GWL_STYLE))) &&
      GetWindowRect(parent, &parent_rect);
  view_->MoveDialog(PlaceDialog(dialog, centred_on_parent ? &parent_rect : nullptr, work_area));
  ShowWindow(window_, SW_SHOW);
  visible_ = true;
}

// Modal: the sheet's own message loop runs until the user closes it; the
// capture keeps running underneath, so changes show in the preview at once.
void CSourceDialog::OpenSettings() {
  if (page_ || window_ == nullptr) return;
  CreatePage(std::make_unique<CWin32View>());
  PROPSHEETPAGEA sheet_page = {};
  sheet_page.dwSize = sizeof(sheet_page);
  sheet_page.dwFlags = PSP_USETITLE;
  sheet_page.hInstance = DataSourceModule();
  sheet_page.pszTemplate = MAKEINTRESOURCEA(chinese_ ? kPageChinese : kPageEnglish);
  sheet_page.pfnDlgProc = &SourceDialogWindows::PageProcedure;
  sheet_page.pszTitle = page_title_.c_str();
  sheet_page.lParam = reinterpret_cast<LPARAM>(this);
  PROPSHEETHEADERA sheet = {};
  sheet.dwSize = sizeof(sheet);
  sheet.dwFlags = PSH_PROPSHEETPAGE | PSH_NOAPPLYNOW | PSH_NOCONTEXTHELP;
  sheet.hwndParent = window_;
  sheet.hInstance = DataSourceModule();
  sheet.pszCaption = sheet_caption_.c_str();
  sheet.nPages = 1;
  sheet.nStartPage = 0;
  sheet.ppsp = &sheet_page;
  PropertySheetA(&sheet);
  CloseSettings();
}

void CSourceDialog::CloseSettings() {
  page_.reset();
  page_view_.reset();
  page_window_ = nullptr;
}

}  // namespace vk::twain
