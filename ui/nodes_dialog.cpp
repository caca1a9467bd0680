#include "ui/nodes_dialog.h"

#include <algorithm>

#include "platform/com/wide_text.h"
#include "platform/message_box.h"
#include "ui/resource_ids.h"
#include "util/format.h"

namespace krelta::ui {
namespace {

constexpr int kBranchImage = 9;

void SetDescendantsChecked(HWND tree, HTREEITEM item, bool checked) {
  for (HTREEITEM child = TreeView_GetChild(tree, item); child != nullptr;
       child = TreeView_GetNextSibling(tree, child)) {
    TreeView_SetCheckState(tree, child, checked);
    SetDescendantsChecked(tree, child, checked);
  }
}

}  // namespace

COPCNodesDlg::COPCNodesDlg(std::string delimiter) : Dialog(103), delimiter_(std::move(delimiter)) {}

COPCNodesDlg::~COPCNodesDlg() {
  if (images_ != nullptr) ::ImageList_Destroy(images_);
}

bool COPCNodesDlg::OnMessage(UINT message, WPARAM, LPARAM lParam, LRESULT& result) {
  if (message == WM_DESTROY) {
    // The tree made the check boxes' state images when it got its style, but a tree never
    // destroys them: they are the dialog's to free. Taken off the tree first, so a tree that
    // does free them cannot free them again.
    if (HIMAGELIST states = TreeView_SetImageList(tree_, nullptr, TVSIL_STATE)) ::ImageList_Destroy(states);
    return false;
  }
  if (message != kCascadeCheck) return false;
  const auto item = reinterpret_cast<HTREEITEM>(lParam);
  SetDescendantsChecked(tree_, item, TreeView_GetCheckState(tree_, item) == 1);
  TreeView_SelectItem(tree_, item);
  result = 0;
  return true;
}

void COPCNodesDlg::HandOver(const std::vector<NodeEntry>& nodes, std::unique_ptr<BrowseTree> tree) {
  nodes_ = nodes;
  browseTree_ = std::move(tree);
}

std::string COPCNodesDlg::DisplayPath(const std::string& parentPath, const std::string& name) const {
  return parentPath.empty() ? name : Format("%1%%2%%3%", parentPath, delimiter_, name);
}

BOOL COPCNodesDlg::OnInitDialog() {
  tree_ = Item(IDC_NODE_TREE);
  // Check boxes are set once the tree exists, as the control documents (the template leaves
  // them out): the tree makes their state images here, once.
  ::SetWindowLongPtrW(tree_, GWL_STYLE, ::GetWindowLongPtrW(tree_, GWL_STYLE) | TVS_CHECKBOXES);
  images_ = CreateImageStrip();
  TreeView_SetImageList(tree_, images_, TVSIL_NORMAL);

  storedPaths_.clear();
  for (const NodeEntry& node : nodes_) storedPaths_.push_back(node.path);
  std::sort(storedPaths_.begin(), storedPaths_.end());

  ::SendMessageW(tree_, WM_SETREDRAW, FALSE, 0);
  if (browseTree_ != nullptr && browseTree_->Top() != nullptr) AddNode(*browseTree_->Top(), TVI_ROOT, "");
  ::SendMessageW(tree_, WM_SETREDRAW, TRUE, 0);
  ::InvalidateRect(tree_, nullptr, TRUE);
  return TRUE;
}

void COPCNodesDlg::AddNode(const BrowseNode& node, HTREEITEM parent, const std::string& parentPath) {
  HTREEITEM item = parent;
  std::string path = parentPath;
  if (node.number != BrowseTree::kTopNumber) {
    path = DisplayPath(parentPath, node.record.name);
    const std::wstring text = com::Utf8ToWide(node.record.name);
    TVINSERTSTRUCTW insert{};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    insert.item.pszText = const_cast<wchar_t*>(text.c_str());
    insert.item.iImage = insert.item.iSelectedImage = kBranchImage;
    insert.item.lParam = static_cast<LPARAM>(node.number);
    item = TreeView_InsertItem(tree_, &insert);
    TreeView_SetCheckState(tree_, item, std::binary_search(storedPaths_.begin(), storedPaths_.end(), path));
  }
  for (const BrowseNode* child : node.children) AddNode(*child, item, path);
}

LRESULT COPCNodesDlg::OnNotify(NMHDR& header, bool& handled) {
  if (header.idFrom == IDC_NODE_TREE && header.code == NM_CLICK) {
    OnTreeClick();
    handled = true;  // result 0: the tree goes on with its own processing
  }
  return 0;
}

void COPCNodesDlg::OnTreeClick() {
  const DWORD position = ::GetMessagePos();
  TVHITTESTINFO hit{};
  hit.pt = {static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
  ::ScreenToClient(tree_, &hit.pt);
  const HTREEITEM item = TreeView_HitTest(tree_, &hit);
  if (item == nullptr || (hit.flags & TVHT_ONITEMSTATEICON) == 0) return;
  // Descendants take the state the item has once the tree has processed the click; some tree
  // implementations toggle before this notification, some after, so look when it is done.
  ::PostMessageW(Window(), kCascadeCheck, 0, reinterpret_cast<LPARAM>(item));
}

void COPCNodesDlg::Collect(HTREEITEM item, const std::string& parentPath, int& counted) {
  for (; item != nullptr; item = TreeView_GetNextSibling(tree_, item)) {
    TVITEMW tv{};
    tv.mask = TVIF_PARAM;
    tv.hItem = item;
    TreeView_GetItem(tree_, &tv);
    BrowseNode* node = nullptr;
    if (browseTree_ != nullptr) {
      const auto found = browseTree_->Nodes().find(static_cast<std::uint64_t>(tv.lParam));
      if (found != browseTree_->Nodes().end()) node = found->second.get();
    }
    // The path from the branch's own name: the item shows the same text, whole.
    const std::string path =
        DisplayPath(parentPath, node != nullptr ? node->record.name : com::WideToUtf8(TreeItemText(tree_, item)));
    if (TreeView_GetCheckState(tree_, item) == 1 && node != nullptr) {
      node->record.checked = true;
      nodes_.push_back({node->record.itemId, path});
      ++counted;
    }
    const HTREEITEM child = TreeView_GetChild(tree_, item);
    if (child != nullptr) Collect(child, path, counted);
  }
}

void COPCNodesDlg::OnOK() {
  nodes_.clear();
  int counted = 0;
  Collect(TreeView_GetRoot(tree_), "", counted);
  if (counted == 0 &&
      platform::ShowMessageBox(Window(), kNothingSelectedQuestion, kIdentityText, MB_YESNO) != IDYES) {
    return;  // No: the dialog stays open with the tree as it was
  }
  End(IDOK);
}

}  // namespace krelta::ui
