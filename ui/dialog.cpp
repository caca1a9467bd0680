#include "ui/dialog.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cwchar>
#include <vector>

#include "log/log_file.h"
#include "platform/com/wide_text.h"
#include "ui/resource_ids.h"
#include "util/format.h"

namespace krelta::ui {

HINSTANCE ResourceModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ResourceModule), &module);
  return module;
}

HIMAGELIST CreateImageStrip() {
  HIMAGELIST images = ::ImageList_Create(16, 16, ILC_MASK | ILC_COLOR32, 1, 1);
  HBITMAP strip = static_cast<HBITMAP>(
      ::LoadImageW(ResourceModule(), MAKEINTRESOURCEW(IDB_IMAGE_STRIP), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (images != nullptr && strip != nullptr) ::ImageList_AddMasked(images, strip, RGB(255, 0, 255));
  if (strip != nullptr) ::DeleteObject(strip);
  return images;
}

void PaintPendingWindows() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) ::DispatchMessageW(&message);
}

std::string GetAnsiText(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  std::vector<wchar_t> text(static_cast<size_t>(length) + 1);
  ::GetWindowTextW(window, text.data(), length + 1);
  return com::WideToAnsi(text.data());
}

void SetAnsiText(HWND window, const std::string& text) {
  ::SetWindowTextW(window, com::AnsiToWide(text).c_str());
}

std::wstring TreeItemText(HWND tree, HTREEITEM item) {
  // The tree copies at most the buffer's size less one: a text that fills it may go on.
  for (std::size_t capacity = 256;; capacity *= 4) {
    std::vector<wchar_t> text(capacity);
    TVITEMW tv{};
    tv.mask = TVIF_TEXT;
    tv.hItem = item;
    tv.pszText = text.data();
    tv.cchTextMax = static_cast<int>(std::min<std::size_t>(capacity, INT_MAX));
    if (!TreeView_GetItem(tree, &tv)) return std::wstring();
    // The tree may answer with a pointer of its own instead of filling the buffer.
    const wchar_t* answer = tv.pszText != nullptr ? tv.pszText : L"";
    const std::size_t length = ::wcsnlen(answer, capacity);
    if (length + 1 < capacity || capacity >= INT_MAX / 4) return std::wstring(answer, length);
  }
}

namespace {

std::atomic<InitCommonControlsFunction> g_initCommonControls{&::InitCommonControlsEx};

// Common Controls 6 for the dialogs' windows, from the module's own manifest (resource 2): a
// DLL run by rundll32.exe would otherwise get the process's version 5.8. The context is made
// once and kept for the process; none (an older system, no manifest) leaves the default.
HANDLE CommonControlsContext() {
  static const HANDLE context = [] {
    ACTCTXW request{};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID;
    request.hModule = ResourceModule();
    request.lpResourceName = MAKEINTRESOURCEW(2);
    return ::CreateActCtxW(&request);
  }();
  return context;
}

// The context active on this thread for the life of the object.
class ActiveContext {
 public:
  explicit ActiveContext(HANDLE context) {
    if (context != INVALID_HANDLE_VALUE && !::ActivateActCtx(context, &cookie_)) cookie_ = 0;
  }
  ~ActiveContext() {
    if (cookie_ != 0) ::DeactivateActCtx(0, cookie_);
  }
  ActiveContext(const ActiveContext&) = delete;
  ActiveContext& operator=(const ActiveContext&) = delete;

 private:
  ULONG_PTR cookie_ = 0;
};

// The barrier's Error entry (what of a standard exception, null for anything else); the
// logging itself may fail, and nothing may escape from here either.
void LogHandlerFailure(const char* what) noexcept {
  try {
    WriteStandaloneLog(kLogError, what != nullptr ? std::string("Configuration dialog: ") + what
                                                  : std::string("Configuration dialog: unknown failure."));
  } catch (...) {
  }
}

}  // namespace

InitCommonControlsFunction SetInitCommonControlsForTesting(InitCommonControlsFunction function) {
  return g_initCommonControls.exchange(function != nullptr ? function : &::InitCommonControlsEx);
}

INT_PTR Dialog::RunModal(HWND owner) {
  ActiveContext commonControls6(CommonControlsContext());
  // Only the classes the templates use: tree views and their tool tips. Version 5.8 of comctl32
  // refuses a request holding any flag it does not know (ICC_STANDARD_CLASSES is one); a
  // refusal is worth a log entry, not the dialog, whose classes may well be registered.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TREEVIEW_CLASSES};
  if (!g_initCommonControls.load()(&controls)) {
    WriteStandaloneLog(kLogWarning,
                       Format("Configuration dialog: the tree-view classes could not be registered "
                              "(error %1%); the dialog is shown all the same.",
                              ::GetLastError()));
  }
  failed_ = false;
  const INT_PTR result = ::DialogBoxParamW(ResourceModule(), MAKEINTRESOURCEW(templateId_), owner,
                                           &Dialog::Procedure, reinterpret_cast<LPARAM>(this));
  creationError_ = result == -1 ? ::GetLastError() : ERROR_SUCCESS;
  // A handler that failed ends the run as Cancel, even when a later one (after a nested dialog
  // it ran) asked for OK.
  return failed_ && result != -1 ? IDCANCEL : result;
}

INT_PTR CALLBACK Dialog::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Dialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Dialog*>(lParam);
    self->window_ = window;
    ::SetWindowLongPtrW(window, DWLP_USER, lParam);
  } else {
    self = reinterpret_cast<Dialog*>(::GetWindowLongPtrW(window, DWLP_USER));
  }
  if (self == nullptr) return FALSE;
  // Nothing may escape into the window manager. A handler that failed may have left the
  // dialog's state half updated: log it and end the dialog as Cancel, so nothing is saved.
  try {
    return self->Handle(message, wParam, lParam);
  } catch (const std::exception& e) {
    LogHandlerFailure(e.what());
  } catch (...) {
    LogHandlerFailure(nullptr);
  }
  self->failed_ = true;
  ::EndDialog(window, IDCANCEL);
  return FALSE;
}

INT_PTR Dialog::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (id == IDOK) {
        OnOK();
        return TRUE;
      }
      if (id == IDCANCEL) {
        OnCancel();
        return TRUE;
      }
      return OnCommand(id, HIWORD(wParam)) ? TRUE : FALSE;
    }
    case WM_NOTIFY: {
      bool handled = false;
      const LRESULT result = OnNotify(*reinterpret_cast<NMHDR*>(lParam), handled);
      if (!handled) return FALSE;
      ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, result);
      return TRUE;
    }
    default: {
      LRESULT result = 0;
      if (!OnMessage(message, wParam, lParam, result)) return FALSE;
      ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, result);
      return TRUE;
    }
  }
}

}  // namespace krelta::ui
