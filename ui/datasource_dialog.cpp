#include "ui/datasource_dialog.h"

#include "discovery/server_enumeration.h"
#include "opcda/browse.h"
#include "opcda/create_instance.h"
#include "opcda/ping_host.h"
#include "platform/com/wide_text.h"
#include "platform/message_box.h"
#include "ui/credentials_dialog.h"
#include "ui/nodes_dialog.h"
#include "ui/resource_ids.h"
#include "util/exception.h"
#include "util/format.h"

namespace krelta::ui {
namespace {

constexpr int kHostImage = 27;
constexpr int kNetworkImage = 28;
constexpr int kDataAccessServerImage = 7;
constexpr int kOtherServerImage = 29;
constexpr int kErrorImage = 35;
constexpr std::uint32_t kDataAccess23 = kSpecDataAccess2 | kSpecDataAccess3;

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  return ::lstrcmpiW(com::AnsiToWide(a).c_str(), com::AnsiToWide(b).c_str()) == 0;
}

// The label of a server item: its path up to the first "/" (version-independent ProgID or ProgID).
std::wstring ServerLabel(const OPCURL& url) {
  const std::string& path = url.GetPath();
  return com::AnsiToWide(path.substr(0, path.find('/')));
}

}  // namespace

CNewEditDatasourceDlg::CNewEditDatasourceDlg(std::string delimiter, const ConnectionSettings& settings)
    : Dialog(101), delimiter_(std::move(delimiter)), settings_(settings), tree_(settings.Log()),
      pingLimitMs_(kDefaultPingTimeoutMs) {}

void CNewEditDatasourceDlg::PreFill(const Credentials& credentials, const std::string& url,
                                    const std::vector<NodeEntry>& nodes, bool useNullTimeValues) {
  selected_.user = com::AnsiToWide(credentials.user);
  selected_.password = com::AnsiToWide(credentials.password);
  selected_.domain = com::AnsiToWide(credentials.domain);
  selected_.url = OPCURL(url);
  nodes_ = nodes;
  useNullTimeValues_ = useNullTimeValues;
}

Credentials CNewEditDatasourceDlg::ReadCredentials() const {
  return Credentials{com::WideToAnsi(selected_.user), com::WideToAnsi(selected_.password),
                     com::WideToAnsi(selected_.domain)};
}

int CNewEditDatasourceDlg::ShowMessage(const std::string& text, UINT type) const {
  return platform::ShowMessageBox(Window(), text, kIdentityText, type);
}

BOOL CNewEditDatasourceDlg::OnInitDialog() {
  WaitCursor wait;
  tree_.Attach(Item(IDC_SERVER_TREE));
  layout_.Attach(Window(), {{IDOK, 1, 1, 1, 1},
                            {IDCANCEL, 1, 1, 1, 1},
                            {IDC_SERVER_TREE, 0, 0, 1, 1},
                            {-1, 0, 1, 0, 1},
                            {IDC_OTHER_SERVER, 0, 1, 1, 1},
                            {IDC_ADD_HOST, 1, 1, 1, 1},
                            {IDC_CREDENTIALS, 0, 1, 0, 1},
                            {IDC_TEST_CONNECTIVITY, 0, 1, 0, 1}});
  HWND tree = tree_.Window();
  ::SendMessageW(tree, WM_SETREDRAW, FALSE, 0);
  TreeView_DeleteAllItems(tree);
  AddRootItem("Local host", TreeItemKind::kLocalHost);
  AddRootItem("Local network", TreeItemKind::kLocalNetwork);
  const std::string configuredHost = selected_.url.GetHost();
  if (!configuredHost.empty()) {
    const HTREEITEM placeholder = AddRootItem(configuredHost, TreeItemKind::kNamedHost);
    PopulateHost(TreeView_GetParent(tree, placeholder), placeholder);
  }
  ::SendMessageW(tree, WM_SETREDRAW, TRUE, 0);
  ::InvalidateRect(tree, nullptr, TRUE);
  ::EnableWindow(Item(IDC_CREDENTIALS), FALSE);
  ::EnableWindow(Item(IDC_TEST_CONNECTIVITY), FALSE);
  ::EnableWindow(Item(IDOK), FALSE);
  // A configured server selected while populating enables its buttons again.
  OnSelectionChanged(TreeView_GetSelection(tree));
  return TRUE;
}

HTREEITEM CNewEditDatasourceDlg::AddRootItem(const std::string& text, TreeItemKind kind) {
  const HTREEITEM root = tree_.Insert(TVI_ROOT, com::AnsiToWide(text),
                                      kind == TreeItemKind::kLocalNetwork ? kNetworkImage : kHostImage,
                                      ItemValue(kind));
  if (kind != TreeItemKind::kLocalNetwork) {
    return tree_.Insert(root, L"Dummy", -1, ItemValue(TreeItemKind::kPlaceholder));
  }
  std::vector<std::string> hosts;
  ListNetworkHosts(hosts);
  HTREEITEM configured = nullptr;
  for (const std::string& name : hosts) {
    const HTREEITEM host = tree_.Insert(root, com::AnsiToWide(name), kHostImage, ItemValue(TreeItemKind::kNamedHost));
    const HTREEITEM placeholder = tree_.Insert(host, L"Dummy", -1, ItemValue(TreeItemKind::kPlaceholder));
    if (!selected_.url.GetHost().empty() && SameTextIgnoringCase(name, selected_.url.GetHost())) {
      configured = placeholder;
    }
  }
  return configured;
}

bool CNewEditDatasourceDlg::IsConfiguredServer(const OPCURL& url) const {
  const OPCURL& configured = selected_.url;
  if (configured.GetPath().empty()) return false;
  const bool bothLocal = IsLocalHost(url.GetHost()) && IsLocalHost(configured.GetHost());
  if (!bothLocal && !SameTextIgnoringCase(url.GetHost(), configured.GetHost())) return false;
  if (url.GetPort() != configured.GetPort()) return false;
  if (!configured.GetClsid().IsNil()) return url.GetClsid() == configured.GetClsid();
  // No CLSID configured: the ProgID (the path's first part) must match.
  const std::string& path = configured.GetPath();
  const std::string progId = path.substr(0, path.find('/'));
  return SameTextIgnoringCase(progId, url.GetProgId()) ||
         SameTextIgnoringCase(progId, url.GetPath().substr(0, url.GetPath().find('/')));
}

void CNewEditDatasourceDlg::PopulateHost(HTREEITEM host, HTREEITEM child) {
  HWND tree = tree_.Window();
  if (host == nullptr || child == nullptr) return;
  if (KindOf(tree_.Value(child)) != TreeItemKind::kPlaceholder) return;
  const TreeItemKind hostKind = KindOf(tree_.Value(host));
  if (hostKind != TreeItemKind::kLocalHost && hostKind != TreeItemKind::kNamedHost) return;
  if (populating_) return;
  populating_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{populating_};

  WaitCursor wait;
  PaintPendingWindows();
  try {
    const std::string hostName = hostKind == TreeItemKind::kNamedHost
                                     ? com::WideToAnsi(TreeItemText(tree, host))
                                     : std::string();
    const WideCredentials credentials{selected_.user, selected_.password, selected_.domain};
    std::vector<OPCServerInfo> found;
    try {
      found = EnumerateServers(hostName, &credentials, pingLimitMs_, &PaintPendingWindows, Window());
    } catch (const Exception& e) {
      TreeView_DeleteItem(tree, child);
      tree_.Insert(host, com::Utf8ToWide(e.what()), kErrorImage, ItemValue(TreeItemKind::kPlaceholder));
      return;
    }
    TreeView_DeleteItem(tree, child);
    HTREEITEM configured = nullptr;
    for (OPCServerInfo& server : found) {
      // Item values carry the table index in 16 bits; a table beyond that cannot be shown.
      if (servers_.size() >= 0xFFFF) break;
      const std::uint32_t index = static_cast<std::uint32_t>(servers_.size());
      const bool dataAccess = (server.url.GetSpecifications() & kDataAccess23) != 0;
      const HTREEITEM item = tree_.Insert(host, ServerLabel(server.url),
                                          dataAccess ? kDataAccessServerImage : kOtherServerImage,
                                          ItemValue(TreeItemKind::kServer, index));
      if (configured == nullptr && IsConfiguredServer(server.url)) configured = item;
      tree_.AddServerUrl(server.url);
      servers_.push_back(std::move(server));
    }
    if (found.size() > 1) {
      // Data Access 2/3 servers first; enumeration order within each group.
      TVSORTCB sort{};
      sort.hParent = host;
      sort.lParam = reinterpret_cast<LPARAM>(this);
      sort.lpfnCompare = [](LPARAM a, LPARAM b, LPARAM self) -> int {
        const auto& servers = reinterpret_cast<CNewEditDatasourceDlg*>(self)->servers_;
        const std::uint32_t ia = static_cast<std::uint32_t>(a) & 0xFFFF;
        const std::uint32_t ib = static_cast<std::uint32_t>(b) & 0xFFFF;
        const bool da = (servers[ia].url.GetSpecifications() & kDataAccess23) != 0;
        const bool db = (servers[ib].url.GetSpecifications() & kDataAccess23) != 0;
        if (da != db) return da ? -1 : 1;
        return ia < ib ? -1 : ia > ib ? 1 : 0;
      };
      TreeView_SortChildrenCB(tree, &sort, FALSE);
    }
    if (configured != nullptr) TreeView_SelectItem(tree, configured);
  } catch (...) {
    settings_.Log().Write(kLogError, "Add Server caused unknown failure.");
  }
}

bool CNewEditDatasourceDlg::OnCommand(int id, int notification) {
  if (notification != BN_CLICKED) return false;
  switch (id) {
    case IDC_CREDENTIALS:
      OnCredentials();
      return true;
    case IDC_TEST_CONNECTIVITY:
      OnTestConnectivity();
      return true;
    case IDC_ADD_HOST:
      OnAddHost();
      return true;
    default:
      return false;
  }
}

LRESULT CNewEditDatasourceDlg::OnNotify(NMHDR& header, bool& handled) {
  if (header.idFrom != IDC_SERVER_TREE) return 0;
  HWND tree = tree_.Window();
  switch (header.code) {
    case TVN_ITEMEXPANDINGW: {
      const auto& expanding = reinterpret_cast<NMTREEVIEWW&>(header);
      if ((expanding.action & TVE_EXPAND) != 0) {
        const HTREEITEM child = TreeView_GetChild(tree, expanding.itemNew.hItem);
        if (child != nullptr) PopulateHost(expanding.itemNew.hItem, child);
      }
      handled = true;
      return FALSE;  // expansion always allowed
    }
    case TVN_SELCHANGEDW:
      OnSelectionChanged(reinterpret_cast<NMTREEVIEWW&>(header).itemNew.hItem);
      return 0;
    case NM_DBLCLK: {
      const HTREEITEM selected = TreeView_GetSelection(tree);
      if (selected != nullptr && TreeView_GetChild(tree, selected) == nullptr &&
          KindOf(tree_.Value(selected)) == TreeItemKind::kServer) {
        OnOK();
      }
      return 0;  // the tree's own processing (expanding a host) goes on
    }
    default:
      return 0;
  }
}

bool CNewEditDatasourceDlg::OnMessage(UINT message, WPARAM, LPARAM lParam, LRESULT& result) {
  if (message == WM_SIZE) {
    layout_.Resize();
    result = 0;
    return true;
  }
  if (message == WM_GETMINMAXINFO) {
    layout_.LimitMinimum(*reinterpret_cast<MINMAXINFO*>(lParam));
    result = 0;
    return true;
  }
  return false;
}

void CNewEditDatasourceDlg::OnSelectionChanged(HTREEITEM item) {
  bool credentials = false, serverChosen = false;
  if (item != nullptr) {
    const std::uint32_t value = tree_.Value(item);
    if (KindOf(value) == TreeItemKind::kNamedHost) {
      credentials = true;
    } else if (KindOf(value) == TreeItemKind::kServer && (value & 0xFFFF) < servers_.size()) {
      serverChosen = (servers_[value & 0xFFFF].url.GetSpecifications() & kDataAccess23) != 0;
    }
  }
  ::EnableWindow(Item(IDC_CREDENTIALS), credentials);
  ::EnableWindow(Item(IDC_TEST_CONNECTIVITY), serverChosen);
  ::EnableWindow(Item(IDOK), serverChosen);
}

void CNewEditDatasourceDlg::OnCredentials() {
  const HTREEITEM selected = TreeView_GetSelection(tree_.Window());
  if (selected == nullptr || KindOf(tree_.Value(selected)) != TreeItemKind::kNamedHost) return;
  COPCCredentialsDlg dialog;
  dialog.user = com::WideToAnsi(selected_.user);
  dialog.password = com::WideToAnsi(selected_.password);
  dialog.domain = com::WideToAnsi(selected_.domain);
  if (dialog.RunModal(Window()) != IDOK) return;
  selected_.user = com::AnsiToWide(dialog.user);
  selected_.password = com::AnsiToWide(dialog.password);
  selected_.domain = com::AnsiToWide(dialog.domain);
}

void CNewEditDatasourceDlg::OnTestConnectivity() {
  const HTREEITEM selected = TreeView_GetSelection(tree_.Window());
  if (selected == nullptr) return;
  const std::uint32_t value = tree_.Value(selected);
  bool reached = false;
  if (KindOf(value) == TreeItemKind::kServer && (value & 0xFFFF) < servers_.size()) {
    WaitCursor wait;
    reached = SUCCEEDED(PingHost(servers_[value & 0xFFFF].url.GetHost(), pingLimitMs_));
  }
  ShowMessage(reached ? "Test Successful!" : "Test failed.", MB_OK);
}

void CNewEditDatasourceDlg::OnAddHost() {
  const std::string host = GetAnsiText(Item(IDC_OTHER_SERVER));
  if (!host.empty()) AddRootItem(host, TreeItemKind::kNamedHost);
}

void CNewEditDatasourceDlg::OnOK() {
  HWND tree = tree_.Window();
  const HTREEITEM selected = TreeView_GetSelection(tree);
  const std::uint32_t value = tree_.Value(selected);
  if (selected == nullptr || TreeView_GetChild(tree, selected) != nullptr ||
      KindOf(value) != TreeItemKind::kServer || (value & 0xFFFF) >= servers_.size()) {
    ShowMessage("No valid OPC server is selected", MB_ICONEXCLAMATION);
    return;
  }
  OPCServerInfo& server = servers_[value & 0xFFFF];
  if ((server.url.GetSpecifications() & kDataAccess23) == 0) {
    ShowMessage("No valid OPC DA server is selected", MB_ICONEXCLAMATION);
    return;
  }
  server.user = selected_.user;
  server.password = selected_.password;
  server.domain = selected_.domain;

  std::unique_ptr<BrowseTree> branches;
  bool noBranches = false, browseError = false;
  try {
    WaitCursor wait;
    PaintPendingWindows();
    branches = BrowseServerBranches(server, noBranches, browseError);
  } catch (const Exception& e) {
    ShowMessage(Format("Could not browse file: %1%", e.what()), MB_OK);
    return;
  }
  if (branches == nullptr) {
    ShowMessage("Could not browse the OPC server", MB_ICONEXCLAMATION);
    return;
  }
  if (browseError) {
    ShowMessage("Error occurred when browsing the OPC server, see log file for details. ", MB_ICONEXCLAMATION);
    if (branches->Top() == nullptr || noBranches) return;
  }
  if (noBranches) {
    selected_ = server;
    nodes_ = {NodeEntry{"OPC", ""}};
  } else {
    COPCNodesDlg nodes(delimiter_);
    nodes.HandOver(nodes_, std::move(branches));
    if (nodes.RunModal(Window()) != IDOK) return;
    selected_ = server;
    nodes_ = nodes.Nodes();
  }
  End(IDOK);
}

}  // namespace krelta::ui
