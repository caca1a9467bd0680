#include "model/data_operations.h"

#include <exception>

namespace krelta {
namespace {

std::uint32_t Count(const std::vector<Tag*>& request) {
  return static_cast<std::uint32_t>(request.size());
}

}  // namespace

NodeGroups BuildNodeGroups(const std::vector<Tag*>& request) {
  NodeGroups groups;
  for (std::size_t i = 0; i < request.size(); ++i) {
    groups[&request[i]->GetNode()].push_back({request[i], static_cast<std::uint32_t>(i)});
  }
  return groups;
}

std::unique_ptr<ValueVector> ReadCurrentData(const std::vector<Tag*>& request) {
  // Each position belongs to one entry of one group, so row 0 of the matrix, filled by the
  // nodes, is the result in request order; positions no node filled stay null.
  ValueMatrix matrix(1, Count(request));
  for (auto& [node, entries] : BuildNodeGroups(request)) node->ReadCurrentData(matrix, entries);
  return matrix.TakeRow(0);
}

std::vector<std::unique_ptr<ValueVector>> ReadHistoricalData(const std::vector<Tag*>& request,
                                                             std::int64_t start, std::int64_t step,
                                                             std::uint32_t steps) {
  ValueMatrix matrix(steps, Count(request));
  for (auto& [node, entries] : BuildNodeGroups(request)) {
    node->ReadHistoricalDataEx(matrix, entries, start, step, steps);
  }
  std::vector<std::unique_ptr<ValueVector>> rows;
  rows.reserve(steps);
  for (std::uint32_t r = 0; r < steps; ++r) rows.push_back(matrix.TakeRow(r));
  return rows;
}

std::unique_ptr<ValueVector> ReadBatchData(const std::vector<Tag*>& request, const std::string& batch,
                                           std::int64_t time) {
  auto result = std::make_unique<ValueVector>(Count(request));
  for (auto& [node, entries] : BuildNodeGroups(request)) {
    node->ReadBatchData(*result, entries, batch, time);
  }
  return result;
}

void WriteHistoricalData(const std::vector<Tag*>& request, std::int64_t start, std::int64_t step,
                         const std::vector<ValueVector*>& rows) {
  // Every node is tried; the write fails only when none of them reached the server.
  std::exception_ptr failure;
  bool anyWritten = false;
  for (auto& [node, entries] : BuildNodeGroups(request)) {
    try {
      node->WriteHistoricalData(entries, start, step, rows);
      anyWritten = true;
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure && !anyWritten) std::rethrow_exception(failure);
}

void WriteBatchData(const std::vector<Tag*>& request, const std::string& batch, std::int64_t time,
                    const ValueVector& values) {
  for (auto& [node, entries] : BuildNodeGroups(request)) {
    node->WriteBatchData(entries, batch, time, values);
  }
}

}  // namespace krelta
