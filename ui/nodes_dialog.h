// The node selection dialog (template 103): a browsed server's branches as a tree with check
// boxes; the checked branches become the data source's node list. Windows only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/connection_settings.h"
#include "opcda/browse_tree.h"
#include "ui/dialog.h"

namespace krelta::ui {

class COPCNodesDlg : public Dialog {
 public:
  explicit COPCNodesDlg(std::string delimiter);
  ~COPCNodesDlg() override;

  // Before the modal run: the current node list (its display paths pre-check branches) and the
  // browse tree, which the dialog owns from now on.
  void HandOver(const std::vector<NodeEntry>& nodes, std::unique_ptr<BrowseTree> tree);
  // After OK: (item identifier, display path) of every checked branch, depth first.
  const std::vector<NodeEntry>& Nodes() const { return nodes_; }

  static constexpr const char* kNothingSelectedQuestion =
      "No nodes selected. You will not be able to import any tags from this data source.\n"
      "Do you want to continue?";

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  LRESULT OnNotify(NMHDR& header, bool& handled) override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  static constexpr UINT kCascadeCheck = WM_APP + 1;

  std::string DisplayPath(const std::string& parentPath, const std::string& name) const;
  void AddNode(const BrowseNode& node, HTREEITEM parent, const std::string& parentPath);
  void OnTreeClick();
  void Collect(HTREEITEM item, const std::string& parentPath, int& counted);

  std::string delimiter_;
  std::vector<NodeEntry> nodes_;
  std::unique_ptr<BrowseTree> browseTree_;
  HWND tree_ = nullptr;
  HIMAGELIST images_ = nullptr;
  std::vector<std::string> storedPaths_;  // sorted, for pre-checking
};

}  // namespace krelta::ui
