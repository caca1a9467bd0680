// Another process's tree view, read and driven from outside (its dialog: WaitForDialog, foreign):
// items are read and changed through a TVITEM and text buffer placed in the owner's memory (a
// pointer into our memory means nothing there).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

namespace krelta::testing {

class RemoteTree {
 public:
  explicit RemoteTree(HWND tree) : tree_(tree) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(tree, &pid);
    process_ = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process_ != nullptr) {
      remote_ = static_cast<char*>(::VirtualAllocEx(process_, nullptr, kSize, MEM_COMMIT, PAGE_READWRITE));
    }
  }
  ~RemoteTree() {
    if (remote_ != nullptr) ::VirtualFreeEx(process_, remote_, 0, MEM_RELEASE);
    if (process_ != nullptr) ::CloseHandle(process_);
  }
  RemoteTree(const RemoteTree&) = delete;
  RemoteTree& operator=(const RemoteTree&) = delete;

  bool Ready() const { return remote_ != nullptr; }

  std::wstring Text(HTREEITEM item) {
    TVITEMW tv{};
    tv.mask = TVIF_TEXT | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = reinterpret_cast<wchar_t*>(remote_ + sizeof(TVITEMW));
    tv.cchTextMax = kTextChars;
    ::WriteProcessMemory(process_, remote_, &tv, sizeof tv, nullptr);
    ::SendMessageW(tree_, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote_));
    std::vector<wchar_t> text(kTextChars + 1, L'\0');
    ::ReadProcessMemory(process_, remote_ + sizeof(TVITEMW), text.data(), kTextChars * sizeof(wchar_t), nullptr);
    return text.data();
  }

  void SetChecked(HTREEITEM item, bool checked) {
    TVITEMW tv{};
    tv.mask = TVIF_STATE | TVIF_HANDLE;
    tv.hItem = item;
    tv.stateMask = TVIS_STATEIMAGEMASK;
    tv.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
    ::WriteProcessMemory(process_, remote_, &tv, sizeof tv, nullptr);
    ::SendMessageW(tree_, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(remote_));
  }

  // The item at a path of texts from the root level; null when some step is missing.
  HTREEITEM Find(std::initializer_list<const wchar_t*> path) {
    HTREEITEM at = nullptr;
    for (const wchar_t* step : path) {
      HTREEITEM child = at == nullptr ? TreeView_GetRoot(tree_) : TreeView_GetChild(tree_, at);
      while (child != nullptr && Text(child) != step) child = TreeView_GetNextSibling(tree_, child);
      if (child == nullptr) return nullptr;
      at = child;
    }
    return at;
  }

 private:
  static constexpr int kTextChars = 1024;
  static constexpr SIZE_T kSize = sizeof(TVITEMW) + (kTextChars + 1) * sizeof(wchar_t);
  HWND tree_;
  HANDLE process_ = nullptr;
  char* remote_ = nullptr;
};

}  // namespace krelta::testing
