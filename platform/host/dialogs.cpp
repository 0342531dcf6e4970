// Dialogs of the Linux host: the save-file dialog answers as a test or tool
// told it, and the dialog-message test recognises messages addressed to
// the dialog.
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/host/host.h"
#include "platform/host/win32_api.h"

namespace vk::host {
namespace {

struct DialogState {
  std::mutex mutex;
  std::string answer;
  SaveFileDialog last;
  std::map<HWND, WindowProcedure> procedures;
};

DialogState& Dialogs() {
  static auto* state = new DialogState;
  return *state;
}

// "a\0b\0c\0d\0\0" as "a|b|c|d".
std::string JoinFilter(const char* filter) {
  std::string joined;
  while (filter && *filter) {
    if (!joined.empty()) joined += '|';
    joined += filter;
    filter += std::strlen(filter) + 1;
  }
  return joined;
}

WindowProcedure ProcedureOf(HWND window) {
  std::lock_guard lock(Dialogs().mutex);
  auto it = Dialogs().procedures.find(window);
  return it == Dialogs().procedures.end() ? WindowProcedure{} : it->second;
}

}  // namespace

void SetWindowProcedure(HWND window, WindowProcedure procedure) {
  std::lock_guard lock(Dialogs().mutex);
  if (procedure) {
    Dialogs().procedures[window] = std::move(procedure);
  } else {
    Dialogs().procedures.erase(window);
  }
}

void SetSaveFileAnswer(const std::string& path) {
  std::lock_guard lock(Dialogs().mutex);
  Dialogs().answer = path;
}

SaveFileDialog LastSaveFileDialog() {
  std::lock_guard lock(Dialogs().mutex);
  return Dialogs().last;
}

}  // namespace vk::host

extern "C" {

BOOL GetSaveFileNameA(LPOPENFILENAMEA dialog) {
  if (!dialog || !dialog->lpstrFile || dialog->nMaxFile == 0) return FALSE;
  auto& s = vk::host::Dialogs();
  std::lock_guard lock(s.mutex);
  s.last = {dialog->lpstrTitle ? dialog->lpstrTitle : "", vk::host::JoinFilter(dialog->lpstrFilter),
            dialog->lpstrDefExt ? dialog->lpstrDefExt : "", dialog->Flags, dialog->nFilterIndex};
  if (s.answer.empty() || s.answer.size() >= dialog->nMaxFile) return FALSE;
  std::memcpy(dialog->lpstrFile, s.answer.c_str(), s.answer.size() + 1);
  return TRUE;
}

// A message for the dialog goes to its procedure, as the dialog manager
// would dispatch it.
BOOL IsDialogMessageA(HWND dialog, LPMSG msg) {
  if (dialog == nullptr || msg == nullptr || msg->hwnd != dialog) return FALSE;
  if (auto procedure = vk::host::ProcedureOf(dialog))
    procedure(msg->message, msg->wParam, msg->lParam);
  return TRUE;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto procedure = vk::host::ProcedureOf(window);
  return procedure ? procedure(message, wparam, lparam) : 0;
}

}  // extern "C"
