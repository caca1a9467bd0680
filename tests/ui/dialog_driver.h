// Drives the library's dialogs from a second thread of the test process, as a user would: finds
// them by caption, reads and changes their trees and edit boxes with window messages, presses
// buttons. Messages that open a nested modal dialog are posted, everything else is sent (the
// dialog thread has handled it when the call returns).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "support/simulator_session.h"

namespace krelta::testing {

// The dialog tests' own desktop. Wine draws every desktop through the graphics driver its
// desktop process chose when it started; a process of an earlier test that ran without a display
// keeps the default desktop's process alive without one. A desktop of our own gets a process of
// its own, started from here with the virtual display.
constexpr const wchar_t* kTestDesktop = L"KreltaUiTests";
inline void UseTestDesktop() {
  static HDESK desktop = ::CreateDesktopW(kTestDesktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  if (desktop != nullptr) ::SetThreadDesktop(desktop);
}
// The main thread moves there before any test makes a window, and starts the desktop's process
// at once (two threads asking for it at the same time can leave it without a display).
inline const bool kMainThreadOnTestDesktop = (UseTestDesktop(), ::GetDesktopWindow() != nullptr);

// A visible top-level dialog with this caption, of this process or (foreign) of another one,
// waited for up to timeoutMs.
inline HWND WaitForDialog(const wchar_t* caption, int timeoutMs = 20000, bool foreign = false) {
  HWND found = nullptr;
  WaitUntil([&] {
    for (HWND w = ::FindWindowExW(nullptr, nullptr, L"#32770", caption); w != nullptr;
         w = ::FindWindowExW(nullptr, w, L"#32770", caption)) {
      DWORD pid = 0;
      ::GetWindowThreadProcessId(w, &pid);
      if ((pid != ::GetCurrentProcessId()) == foreign && ::IsWindowVisible(w)) found = w;
    }
    return found != nullptr;
  }, std::chrono::milliseconds(timeoutMs));
  if (found == nullptr) ADD_FAILURE() << "no dialog appeared";
  return found;
}

inline bool WaitGone(HWND window, int timeoutMs = 60000) {
  return WaitUntil([&] { return !::IsWindow(window); }, std::chrono::milliseconds(timeoutMs));
}

// A click that may open a modal dialog: posted, so the driver stays free.
inline void Press(HWND dialog, int id) {
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}
// A click whose handler opens nothing: returns once handled.
inline void Click(HWND dialog, int id) {
  ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}
inline bool Enabled(HWND dialog, int id) { return ::IsWindowEnabled(::GetDlgItem(dialog, id)) != FALSE; }

inline std::wstring Text(HWND window) {
  wchar_t text[1024] = L"";
  ::SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
  return text;
}

struct TreeItem {
  HTREEITEM handle;
  std::wstring text;
  int image;
  LPARAM value;
};

inline TreeItem ReadItem(HWND tree, HTREEITEM item) {
  wchar_t text[1024] = L"";
  TVITEMW tv{};
  tv.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_PARAM | TVIF_HANDLE;
  tv.hItem = item;
  tv.pszText = text;
  tv.cchTextMax = 1024;
  ::SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
  return {item, text, tv.iImage, tv.lParam};
}

// The children of item (TVI_ROOT for the root level).
inline std::vector<TreeItem> Children(HWND tree, HTREEITEM item) {
  std::vector<TreeItem> items;
  HTREEITEM child = item == TVI_ROOT ? TreeView_GetRoot(tree) : TreeView_GetChild(tree, item);
  for (; child != nullptr; child = TreeView_GetNextSibling(tree, child)) items.push_back(ReadItem(tree, child));
  return items;
}

inline std::vector<std::wstring> Texts(const std::vector<TreeItem>& items) {
  std::vector<std::wstring> texts;
  for (const TreeItem& i : items) texts.push_back(i.text);
  return texts;
}

// The item at a path of texts from the root level; null when some step is missing.
inline HTREEITEM FindItem(HWND tree, std::initializer_list<const wchar_t*> path) {
  HTREEITEM at = TVI_ROOT;
  for (const wchar_t* step : path) {
    HTREEITEM next = nullptr;
    for (const TreeItem& child : Children(tree, at)) {
      if (child.text == step) next = child.handle;
    }
    if (next == nullptr) return nullptr;
    at = next;
  }
  return at;
}

inline void Expand(HWND tree, HTREEITEM item) { TreeView_Expand(tree, item, TVE_EXPAND); }
inline void Select(HWND tree, HTREEITEM item) { TreeView_SelectItem(tree, item); }
inline bool Checked(HWND tree, HTREEITEM item) { return TreeView_GetCheckState(tree, item) == 1; }
inline void SetChecked(HWND tree, HTREEITEM item, bool checked) { TreeView_SetCheckState(tree, item, checked); }

// A real mouse click on an item's check box (the tree reads the pointer's position).
inline void ClickCheckBox(HWND tree, HTREEITEM item) {
  RECT text{};
  TreeView_GetItemRect(tree, item, &text, TRUE);
  const int imageWidth = TreeView_GetImageList(tree, TVSIL_NORMAL) != nullptr ? 16 : 0;
  POINT point{text.left - imageWidth - 8, (text.top + text.bottom) / 2};
  TVHITTESTINFO hit{point, 0, nullptr};
  TreeView_HitTest(tree, &hit);
  ASSERT_TRUE(hit.flags & TVHT_ONITEMSTATEICON) << "no check box at the point";
  POINT screen = point;
  ::ClientToScreen(tree, &screen);
  ::SetCursorPos(screen.x, screen.y);
  ::SendMessageW(tree, WM_MOUSEMOVE, 0, MAKELPARAM(point.x, point.y));
  ::PostMessageW(tree, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(point.x, point.y));
  ::PostMessageW(tree, WM_LBUTTONUP, 0, MAKELPARAM(point.x, point.y));
  // Wait until both and what they post are handled.
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::SendMessageW(tree, WM_NULL, 0, 0);
  }
}

// Message boxes recorded and answered: No to a question, OK to anything else.
class ScriptedMessages {
 public:
  ScriptedMessages() {
    platform::SetMessageBoxForTesting([this](HWND, const std::string& text, const std::string&, UINT type) {
      std::lock_guard<std::mutex> guard(lock_);
      shown_.push_back(text);
      types_.push_back(type);
      return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
    });
  }
  ~ScriptedMessages() { platform::SetMessageBoxForTesting(nullptr); }
  std::vector<std::string> Shown() {
    std::lock_guard<std::mutex> guard(lock_);
    return shown_;
  }
  std::vector<UINT> Types() {
    std::lock_guard<std::mutex> guard(lock_);
    return types_;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> shown_;
  std::vector<UINT> types_;
};

// Cancels every dialog of this process (a driver that failed half-way must not leave the
// modal loop waiting forever).
inline void CancelOwnDialogs() {
  for (HWND w = ::FindWindowExW(nullptr, nullptr, L"#32770", nullptr); w != nullptr;
       w = ::FindWindowExW(nullptr, w, L"#32770", nullptr)) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(w, &pid);
    if (pid == ::GetCurrentProcessId()) ::PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
  }
}

// Runs a modal dialog on this thread while drive works it from another. Dialogs still open
// 10 s after drive returned (it failed half-way) are cancelled, so the run always ends.
template <typename Run>
auto WithDriver(Run run, std::function<void()> drive) {
  std::atomic<bool> done{false};
  std::thread driver([&] {
    UseTestDesktop();  // windows are found on the thread's own desktop
    drive();
    for (int waited = 0; !done; waited += 50) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (waited >= 10000 && waited % 500 == 0 && !done) CancelOwnDialogs();
    }
  });
  auto result = run();
  done = true;
  driver.join();
  return result;
}

// WithDriver for a dialog with this caption: drive gets its window once it is shown.
template <typename Run>
auto WithDialog(const wchar_t* caption, Run run, const std::function<void(HWND)>& drive) {
  return WithDriver(run, [&] {
    if (HWND window = WaitForDialog(caption)) drive(window);
  });
}

}  // namespace krelta::testing
