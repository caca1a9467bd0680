#include "ui/dialog.h"

#include <vector>

#include "log/log_file.h"
#include "platform/com/wide_text.h"
#include "ui/resource_ids.h"

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
  std::vector<wchar_t> text(1024);
  TVITEMW tv{};
  tv.mask = TVIF_TEXT;
  tv.hItem = item;
  tv.pszText = text.data();
  tv.cchTextMax = static_cast<int>(text.size());
  if (!TreeView_GetItem(tree, &tv)) return std::wstring();
  return text.data();
}

INT_PTR Dialog::RunModal(HWND owner) {
  // The templates' tree views need comctl32's classes registered in this process.
  static const bool registered = [] {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TREEVIEW_CLASSES | ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    return ::InitCommonControlsEx(&controls) != FALSE;
  }();
  if (!registered) return -1;
  return ::DialogBoxParamW(ResourceModule(), MAKEINTRESOURCEW(templateId_), owner, &Dialog::Procedure,
                           reinterpret_cast<LPARAM>(this));
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
  // Nothing may escape into the window manager: log it and go on.
  try {
    return self->Handle(message, wParam, lParam);
  } catch (const std::exception& e) {
    WriteStandaloneLog(kLogError, std::string("Configuration dialog: ") + e.what());
  } catch (...) {
    WriteStandaloneLog(kLogError, "Configuration dialog: unknown failure.");
  }
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
