// The data-source dialog's server tree: a tree-view control with the image strip and a tool
// tip (comctl32) that shows a server's name and the specifications it implements. Windows only.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "discovery/opc_url.h"

namespace krelta {
class LogFile;
}

namespace krelta::ui {

// Kinds of tree items: the high 16 bits of an item's value.
enum class TreeItemKind : std::uint32_t {
  kLocalHost = 0xFFFA,
  kLocalNetwork = 0xFFFB,
  kNamedHost = 0xFFFC,
  kPlaceholder = 0xFFFE,  // "Dummy", or an error text
  kServer = 0xFFFF,       // low 16 bits: index in the server table
};
constexpr std::uint32_t ItemValue(TreeItemKind kind, std::uint32_t low = 0xFFFF) {
  return (static_cast<std::uint32_t>(kind) << 16) | (low & 0xFFFF);
}
inline TreeItemKind KindOf(std::uint32_t value) { return static_cast<TreeItemKind>(value >> 16); }

class CToolTipTreeCtrl {
 public:
  explicit CToolTipTreeCtrl(LogFile& log) : log_(log) {}
  ~CToolTipTreeCtrl();
  CToolTipTreeCtrl(const CToolTipTreeCtrl&) = delete;
  CToolTipTreeCtrl& operator=(const CToolTipTreeCtrl&) = delete;

  // Takes over the dialog's tree control: image list, tool tip, message filter.
  void Attach(HWND tree);
  HWND Window() const { return tree_; }

  // One address per server item, in the order of the dialog's server table.
  void AddServerUrl(const OPCURL& url) { urls_.push_back(url); }

  HTREEITEM Insert(HTREEITEM parent, const std::wstring& text, int image, std::uint32_t value);
  std::uint32_t Value(HTREEITEM item) const;

  // The tip of a server item: its name, then one line per specification it implements.
  // Empty for every other item.
  std::string ToolTipText(HTREEITEM item) const;

 private:
  static LRESULT CALLBACK Filter(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                 UINT_PTR id, DWORD_PTR self);
  void Track(LPARAM mousePosition);

  LogFile& log_;
  HWND tree_ = nullptr;
  HWND tip_ = nullptr;
  HIMAGELIST images_ = nullptr;
  HTREEITEM tipItem_ = nullptr;
  std::wstring tipText_;
  std::vector<OPCURL> urls_;
};

}  // namespace krelta::ui
