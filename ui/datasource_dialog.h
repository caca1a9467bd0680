// The data-source dialog (template 101): a tree of hosts and their OPC servers (local machine,
// computers of the local network, hosts typed by hand), credentials, a host test, and on OK
// the chosen server's branches through the node dialog. Windows only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/connection_settings.h"
#include "discovery/opc_url.h"
#include "platform/com/com_owners.h"
#include "ui/anchored_layout.h"
#include "ui/dialog.h"
#include "ui/tool_tip_tree.h"

namespace krelta::ui {

class CNewEditDatasourceDlg : public Dialog {
 public:
  // settings serves only for writing to the data source's log.
  CNewEditDatasourceDlg(std::string delimiter, const ConnectionSettings& settings);

  // Before the modal run, when the configuration has a server and nodes.
  void PreFill(const Credentials& credentials, const std::string& url,
               const std::vector<NodeEntry>& nodes, bool useNullTimeValues);
  // After OK.
  Credentials ReadCredentials() const;
  std::string ReadUrl() const { return selected_.url.ToString(); }
  const std::vector<NodeEntry>& ReadNodes() const { return nodes_; }
  bool ReadUseNullTimeValues() const { return useNullTimeValues_; }

  // The probe bound of enumeration and the host test (tests shorten it).
  void SetPingLimit(DWORD milliseconds) { pingLimitMs_ = milliseconds; }

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  bool OnCommand(int id, int notification) override;
  LRESULT OnNotify(NMHDR& header, bool& handled) override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  HTREEITEM AddRootItem(const std::string& text, TreeItemKind kind);
  void PopulateHost(HTREEITEM host, HTREEITEM child);
  void OnSelectionChanged(HTREEITEM item);
  void OnCredentials();
  void OnTestConnectivity();
  void OnAddHost();
  // The configured server: same host (any case; every name of this machine alike), port and
  // CLSID (ProgID when the configured address has no CLSID).
  bool IsConfiguredServer(const OPCURL& url) const;
  int ShowMessage(const std::string& text, UINT type) const;

  std::string delimiter_;
  const ConnectionSettings& settings_;
  com::ApartmentGuard apartment_{COINIT_APARTMENTTHREADED};
  CToolTipTreeCtrl tree_;
  AnchoredLayout layout_;
  std::vector<OPCServerInfo> servers_;
  OPCServerInfo selected_;
  std::vector<NodeEntry> nodes_;
  bool useNullTimeValues_ = true;
  DWORD pingLimitMs_;
  // A host's population runs a message loop (its message box, the repaints between batches):
  // nothing may start a second one inside it.
  bool populating_ = false;
};

}  // namespace krelta::ui
