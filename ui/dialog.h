// A modal dialog from one of the library's templates, with virtual handlers and an exception
// barrier in its dialog procedure (a handler that throws ends the dialog as Cancel); and the
// helpers the three dialogs share: the library's resource module, the image strip, wait
// cursors and texts of controls. Windows only.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

namespace krelta::ui {

// The module whose resources hold templates 101 to 103 and bitmap 104: the one holding this
// code (the DLL, or a test program linked with the resources).
HINSTANCE ResourceModule();

// Bitmap 104 as an image list (16 x 16, masked, 32-bit colour, magenta transparent); the
// caller destroys it.
HIMAGELIST CreateImageStrip();

// The wait cursor for the lifetime of the object.
class WaitCursor {
 public:
  WaitCursor() : previous_(::SetCursor(::LoadCursorW(nullptr, IDC_WAIT))) {}
  ~WaitCursor() { ::SetCursor(previous_); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  HCURSOR previous_;
};

// Paints what waits to be painted in this thread's windows, so a long operation on the dialog
// thread leaves no hole in the window.
void PaintPendingWindows();

// Window texts as the library's 8-bit texts in the ANSI code page (user, password, domain, host).
std::string GetAnsiText(HWND window);
void SetAnsiText(HWND window, const std::string& text);

// A tree item's text, whole however long.
std::wstring TreeItemText(HWND tree, HTREEITEM item);

// The comctl32 call that registers the templates' control classes; tests put a double in place
// (one that refuses flags as an older comctl32 does). Returns the previous function.
using InitCommonControlsFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
InitCommonControlsFunction SetInitCommonControlsForTesting(InitCommonControlsFunction function);

class Dialog {
 public:
  virtual ~Dialog() = default;
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Runs the dialog; the result is the id passed to End (IDOK, IDCANCEL), IDCANCEL when a
  // handler threw (logged; the dialog ends at once), or -1 when the dialog could not be
  // created (CreationError then tells why).
  INT_PTR RunModal(HWND owner = nullptr);
  // The system's error code of a dialog that could not be created, taken as it failed.
  DWORD CreationError() const { return creationError_; }
  HWND Window() const { return window_; }
  HWND Item(int id) const { return ::GetDlgItem(window_, id); }

 protected:
  explicit Dialog(int templateId) : templateId_(templateId) {}

  // Returns TRUE to let the system set the focus.
  virtual BOOL OnInitDialog() { return TRUE; }
  virtual void OnOK() { End(IDOK); }
  virtual void OnCancel() { End(IDCANCEL); }
  // Other WM_COMMAND ids; true when handled.
  virtual bool OnCommand(int id, int notification) { return false; }
  // WM_NOTIFY; set handled to give the result back to the control.
  virtual LRESULT OnNotify(NMHDR& header, bool& handled) { return 0; }
  // Any other message; true when handled (result in result).
  virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) { return false; }

  void End(INT_PTR result) { ::EndDialog(window_, result); }

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);

  int templateId_;
  HWND window_ = nullptr;
  DWORD creationError_ = ERROR_SUCCESS;
  bool failed_ = false;  // a handler threw during this run
};

}  // namespace krelta::ui
