#include "ui/tool_tip_tree.h"

#include "discovery/opc_specification.h"
#include "log/log_file.h"
#include "platform/com/wide_text.h"
#include "ui/dialog.h"

namespace krelta::ui {
namespace {
constexpr UINT_PTR kFilterId = 1;
constexpr UINT_PTR kToolId = 1;
}  // namespace

CToolTipTreeCtrl::~CToolTipTreeCtrl() {
  if (tree_ != nullptr) ::RemoveWindowSubclass(tree_, &CToolTipTreeCtrl::Filter, kFilterId);
  if (tip_ != nullptr) ::DestroyWindow(tip_);
  if (images_ != nullptr) ::ImageList_Destroy(images_);
}

void CToolTipTreeCtrl::Attach(HWND tree) {
  tree_ = tree;
  images_ = CreateImageStrip();
  TreeView_SetImageList(tree_, images_, TVSIL_NORMAL);

  tip_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                           WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, tree_, nullptr, ResourceModule(), nullptr);
  if (tip_ != nullptr) {
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = tree_;
    tool.uId = kToolId;
    tool.lpszText = const_cast<wchar_t*>(L"");
    ::SendMessageW(tip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    ::SendMessageW(tip_, TTM_SETDELAYTIME, TTDT_INITIAL, 300);
    ::SendMessageW(tip_, TTM_SETDELAYTIME, TTDT_RESHOW, 0);
    ::SendMessageW(tip_, TTM_SETDELAYTIME, TTDT_AUTOPOP, 15000);
    ::SendMessageW(tip_, TTM_SETMAXTIPWIDTH, 0, 300);
    RECT margins{5, 5, 5, 5};
    ::SendMessageW(tip_, TTM_SETMARGIN, 0, reinterpret_cast<LPARAM>(&margins));
  }
  ::SetWindowSubclass(tree_, &CToolTipTreeCtrl::Filter, kFilterId, reinterpret_cast<DWORD_PTR>(this));
}

HTREEITEM CToolTipTreeCtrl::Insert(HTREEITEM parent, const std::wstring& text, int image, std::uint32_t value) {
  TVINSERTSTRUCTW insert{};
  insert.hParent = parent;
  insert.hInsertAfter = TVI_LAST;
  insert.item.mask = TVIF_TEXT | TVIF_PARAM | (image >= 0 ? TVIF_IMAGE | TVIF_SELECTEDIMAGE : 0);
  insert.item.pszText = const_cast<wchar_t*>(text.c_str());
  insert.item.iImage = insert.item.iSelectedImage = image;
  insert.item.lParam = static_cast<LPARAM>(value);
  return TreeView_InsertItem(tree_, &insert);
}

std::uint32_t CToolTipTreeCtrl::Value(HTREEITEM item) const {
  TVITEMW tv{};
  tv.mask = TVIF_PARAM;
  tv.hItem = item;
  if (item == nullptr || !TreeView_GetItem(tree_, &tv)) return 0;
  return static_cast<std::uint32_t>(tv.lParam);
}

std::string CToolTipTreeCtrl::ToolTipText(HTREEITEM item) const {
  const std::uint32_t value = Value(item);
  if (item == nullptr || KindOf(value) != TreeItemKind::kServer) return std::string();
  const std::uint32_t index = value & 0xFFFF;
  if (index >= urls_.size()) return std::string();
  const OPCURL& url = urls_[index];
  std::string text = url.GetName();
  for (const OPCSpecification& specification : OPCSpecifications()) {
    if ((url.GetSpecifications() & specification.GetFlag()) != 0) text += specification.GetToolTip();
  }
  return text;
}

// Mouse moves pick the tip of the row under the pointer.
void CToolTipTreeCtrl::Track(LPARAM mousePosition) {
  TVHITTESTINFO hit{};
  hit.pt = {static_cast<short>(LOWORD(mousePosition)), static_cast<short>(HIWORD(mousePosition))};
  const HTREEITEM item = TreeView_HitTest(tree_, &hit);
  const HTREEITEM shown = (hit.flags & TVHT_ONITEM) != 0 ? item : nullptr;
  if (shown == tipItem_) return;
  tipItem_ = shown;
  tipText_ = com::AnsiToWide(ToolTipText(shown));
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = tree_;
  tool.uId = kToolId;
  tool.lpszText = const_cast<wchar_t*>(tipText_.c_str());
  if (shown != nullptr) {
    TreeView_GetItemRect(tree_, shown, &tool.rect, FALSE);  // the whole row
    ::SendMessageW(tip_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  ::SendMessageW(tip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  if (tipText_.empty()) ::SendMessageW(tip_, TTM_POP, 0, 0);
}

LRESULT CALLBACK CToolTipTreeCtrl::Filter(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                          UINT_PTR, DWORD_PTR self) {
  if (message == WM_MOUSEMOVE && self != 0) {
    auto* tree = reinterpret_cast<CToolTipTreeCtrl*>(self);
    try {
      if (tree->tip_ != nullptr) tree->Track(lParam);
    } catch (...) {
      tree->log_.Write(kLogWarning, "Unknown error occurred in ontoolhittest.");
    }
  }
  return ::DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace krelta::ui
