// Reading a server's address space: every branch for the configuration dialog, and the items
// of one branch for the connection's tree. Data Access 3 browsing first, Data Access 2 browsing
// when the server has no IOPCBrowse. Paged answers are followed to their end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "discovery/opc_url.h"
#include "opcda/browse_tree.h"

struct IOPCServer;

namespace krelta {

class OpcDaProxy;

using LogSink = std::function<void(std::int32_t, const std::string&)>;
// Asked before each server call of a walk, with the call's name: false stops the walk at once
// (its owner gave up on the session), true lets the call go ahead (and may mark it as under way).
using CallGate = std::function<bool(const char* call)>;

// Browsing descends at most this many levels below the top of the address space; deeper
// branches are logged and left out. Far beyond any real server: only a branch that lists itself
// inside itself gets there.
constexpr std::uint32_t kMaxBranchDepth = 256;

struct ItemRecord {
  std::string name;    // UTF-8
  std::string itemId;  // UTF-8
  bool operator==(const ItemRecord& o) const { return name == o.name && itemId == o.itemId; }
};

// Connects to the server on its own and walks all branches. Throws Exception when the host
// does not answer, the server cannot be created or offers neither browse interface; failures
// inside the walk are logged to the OPCDA log and reported through browseError.
std::unique_ptr<BrowseTree> BrowseServerBranches(const OPCServerInfo& server, bool& noBranches,
                                                 bool& browseError);

// The items directly below a branch: by its item ID on Data Access 3 servers, by its display
// path (browse names joined with the proxy's delimiter) on Data Access 2 servers, listed on the
// proxy's session (opened first when it never was, reopened when a lost session is due); empty
// without a session. Throws
// Exception when the server offers neither browse interface. Failures are logged to the
// connection log; a listing the server left unanswered past the call bound throws
// UnansweredListing naming the node and the call.
std::vector<ItemRecord> GetItems(OpcDaProxy& proxy, const std::string& branchItemId,
                                 const std::string& displayPath);

// The same listing on a server interface the caller holds (the session's thread); failures go
// to log. gate (none: every call goes ahead) is asked before each server call.
std::vector<ItemRecord> ListBranchItems(IOPCServer* server, const std::string& branchItemId,
                                        const std::string& displayPath, const std::string& delimiter,
                                        const LogSink& log, const CallGate& gate = {});

}  // namespace krelta
