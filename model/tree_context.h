// What the node and tag tree needs of its connection: the settings, the log and the server's
// item listing. The connection implements it; tests stand in for the server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace krelta {

class ConnectionSettings;
class LogFile;
class ValueMatrix;
class ValueVector;
struct NodeGroupEntry;

// One item of a branch as browsing lists it.
struct BrowsedItem {
  std::string name;
  std::string itemId;
  bool operator==(const BrowsedItem& o) const { return name == o.name && itemId == o.itemId; }
};

class TreeContext {
 public:
  virtual ~TreeContext() = default;
  virtual const ConnectionSettings& Settings() const = 0;
  virtual LogFile& Log() = 0;
  // The items directly below a branch, by its item ID (browsing by identifier) and its display
  // path (browsing by names). May throw Exception.
  virtual std::vector<BrowsedItem> GetItems(const std::string& branchItemId,
                                            const std::string& displayPath) = 0;
  // The server side of a node's current read and historical write.
  virtual void ReadCurrentData(ValueMatrix& matrix, const std::vector<NodeGroupEntry>& entries) = 0;
  virtual void WriteData(const std::vector<NodeGroupEntry>& entries, std::int64_t start,
                         std::int64_t stepMilliseconds, const std::vector<ValueVector*>& rows) = 0;
};

}  // namespace krelta
