// The data operations of the host interface behind the exports: a request of tags is split by
// owning node, each node is called once with its entries in request order, and the results are
// assembled in request order.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api/value_vector.h"
#include "model/nodes.h"

namespace krelta {

// One group per distinct owning node, keyed by the node's identity.
using NodeGroups = std::map<Node*, std::vector<NodeGroupEntry>>;
NodeGroups BuildNodeGroups(const std::vector<Tag*>& request);

// A failing node read (Exception) propagates; nothing is returned then.
std::unique_ptr<ValueVector> ReadCurrentData(const std::vector<Tag*>& request);
std::vector<std::unique_ptr<ValueVector>> ReadHistoricalData(const std::vector<Tag*>& request,
                                                             std::int64_t start, std::int64_t step,
                                                             std::uint32_t steps);
std::unique_ptr<ValueVector> ReadBatchData(const std::vector<Tag*>& request, const std::string& batch,
                                           std::int64_t time);
void WriteHistoricalData(const std::vector<Tag*>& request, std::int64_t start, std::int64_t step,
                         const std::vector<ValueVector*>& rows);
void WriteBatchData(const std::vector<Tag*>& request, const std::string& batch, std::int64_t time,
                    const ValueVector& values);

}  // namespace krelta
