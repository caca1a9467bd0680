// The eleven data operations of the host interface. Arguments are tested first (status 2,
// nothing logged, nothing written); the bodies run under the logged frame. The non-Ex forms
// call their Ex form, so they log under the Ex name.
#include <ctime>

#include "api/frame.h"
#include "api/krelta2.h"
#include "model/data_operations.h"
#include "model/model_handles.h"

using krelta::Tag;
using krelta::ValueVector;
using krelta::api::Unwrap;
using krelta::api::Wrap;

namespace {

// The request's tags: 2 at the first null handle (or one that is no tag of a node), 1 when
// there is no memory for the list.
krelta2_status RequestTags(const krelta2_tag* tags, uint32_t count, std::vector<Tag*>& request) noexcept {
  try {
    request.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      Tag* tag = tags[i] != nullptr ? dynamic_cast<Tag*>(Unwrap(tags[i])) : nullptr;
      if (tag == nullptr) return KRELTA2_INVALID_ARGUMENT;
      request.push_back(tag);
    }
    return KRELTA2_OK;
  } catch (...) {
    return KRELTA2_FAILED;
  }
}

int32_t ClockSeconds() { return static_cast<int32_t>(static_cast<uint32_t>(std::time(nullptr))); }

}  // namespace

extern "C" {

krelta2_status krelta2_connectionReadCurrentData(krelta2_connection connection,
                                                 const krelta2_tag* tags, uint32_t count,
                                                 krelta2_vector* values) {
  if (connection == nullptr || tags == nullptr || values == nullptr || count == 0) {
    return KRELTA2_INVALID_ARGUMENT;
  }
  std::vector<Tag*> request;
  if (const krelta2_status s = RequestTags(tags, count, request); s != KRELTA2_OK) return s;
  return krelta::api::GuardLogged("krelta2_connectionReadCurrentData", [&] {
    *values = Wrap(krelta::ReadCurrentData(request).release());
  });
}

krelta2_status krelta2_connectionReadHistoricalDataEx(krelta2_connection connection,
                                                      const krelta2_tag* tags, uint32_t count,
                                                      int32_t startTime, int32_t step,
                                                      uint32_t steps, krelta2_vector* values) {
  if (connection == nullptr || tags == nullptr || values == nullptr || count == 0 ||
      startTime < 0 || step < 0 || steps == 0) {
    return KRELTA2_INVALID_ARGUMENT;
  }
  std::vector<Tag*> request;
  if (const krelta2_status s = RequestTags(tags, count, request); s != KRELTA2_OK) return s;
  return krelta::api::GuardLogged("krelta2_connectionReadHistoricalDataEx", [&] {
    auto rows = krelta::ReadHistoricalData(request, startTime, step, steps);
    for (uint32_t r = 0; r < steps; ++r) values[r] = Wrap(rows[r].release());
  });
}

krelta2_status krelta2_connectionReadHistoricalData(krelta2_connection connection,
                                                    const krelta2_tag* tags, uint32_t count,
                                                    uint32_t time, krelta2_vector* values) {
  return krelta2_connectionReadHistoricalDataEx(connection, tags, count, static_cast<int32_t>(time),
                                                0, 1, values);
}

krelta2_status krelta2_connectionReadBatchDataEx(krelta2_connection connection,
                                                 const krelta2_tag* tags, uint32_t count,
                                                 const char* batchId, int32_t time,
                                                 krelta2_vector* values) {
  if (connection == nullptr || tags == nullptr || batchId == nullptr || values == nullptr ||
      count == 0 || time < 0) {
    return KRELTA2_INVALID_ARGUMENT;
  }
  std::vector<Tag*> request;
  if (const krelta2_status s = RequestTags(tags, count, request); s != KRELTA2_OK) return s;
  return krelta::api::GuardLogged("krelta2_connectionReadBatchDataEx", [&] {
    *values = Wrap(krelta::ReadBatchData(request, batchId, time).release());
  });
}

krelta2_status krelta2_connectionReadBatchData(krelta2_connection connection,
                                               const krelta2_tag* tags, uint32_t count,
                                               const char* batchId, krelta2_vector* values) {
  return krelta2_connectionReadBatchDataEx(connection, tags, count, batchId, ClockSeconds(), values);
}

krelta2_status krelta2_connectionWriteHistoricalDataEx(krelta2_connection connection,
                                                       const krelta2_tag* tags, uint32_t count,
                                                       int32_t startTime, int32_t step,
                                                       uint32_t steps, const krelta2_vector* values) {
  if (connection == nullptr || tags == nullptr || values == nullptr || count == 0 ||
      startTime < 0 || step < 0 || steps == 0) {
    return KRELTA2_INVALID_ARGUMENT;
  }
  std::vector<Tag*> request;
  if (const krelta2_status s = RequestTags(tags, count, request); s != KRELTA2_OK) return s;
  std::vector<ValueVector*> rows;
  try {
    rows.reserve(steps);
    for (uint32_t r = 0; r < steps; ++r) {
      ValueVector* row = Unwrap(values[r]);
      if (row == nullptr || row->Length() != count) return KRELTA2_INVALID_ARGUMENT;
      rows.push_back(row);
    }
  } catch (...) {
    return KRELTA2_FAILED;
  }
  return krelta::api::GuardLogged("krelta2_connectionWriteHistoricalDataEx", [&] {
    krelta::WriteHistoricalData(request, startTime, step, rows);
  });
}

krelta2_status krelta2_connectionWriteHistoricalData(krelta2_connection connection,
                                                     const krelta2_tag* tags, uint32_t count,
                                                     uint32_t time, krelta2_vector values) {
  return krelta2_connectionWriteHistoricalDataEx(connection, tags, count, static_cast<int32_t>(time),
                                                 0, 1, &values);
}

krelta2_status krelta2_connectionWriteBatchDataEx(krelta2_connection connection,
                                                  const krelta2_tag* tags, uint32_t count,
                                                  const char* batchId, int32_t time,
                                                  krelta2_vector values) {
  if (connection == nullptr || tags == nullptr || batchId == nullptr || values == nullptr ||
      count == 0 || time < 0 || Unwrap(values)->Length() != count) {
    return KRELTA2_INVALID_ARGUMENT;
  }
  std::vector<Tag*> request;
  if (const krelta2_status s = RequestTags(tags, count, request); s != KRELTA2_OK) return s;
  return krelta::api::GuardLogged("krelta2_connectionWriteBatchDataEx", [&] {
    krelta::WriteBatchData(request, batchId, time, *Unwrap(values));
  });
}

krelta2_status krelta2_connectionWriteBatchData(krelta2_connection connection,
                                                const krelta2_tag* tags, uint32_t count,
                                                const char* batchId, krelta2_vector values) {
  return krelta2_connectionWriteBatchDataEx(connection, tags, count, batchId, ClockSeconds(), values);
}

krelta2_status krelta2_nodeGetActiveBatches(krelta2_node node, int32_t startTime, int32_t endTime,
                                            krelta2_vector* batches) {
  if (node == nullptr || batches == nullptr || startTime < 0 || endTime < 0 || endTime < startTime) {
    return KRELTA2_INVALID_ARGUMENT;
  }
  return krelta::api::GuardLogged("krelta2_nodeGetActiveBatches", [&] {
    *batches = Wrap(Unwrap(node)->GetActiveBatches(startTime, endTime));
  });
}

krelta2_status krelta2_nodeGetBatchTimes(krelta2_node node, const char* batchId, int32_t time,
                                         uint32_t* startTime, uint32_t* endTime) {
  if (node == nullptr || batchId == nullptr || startTime == nullptr || endTime == nullptr ||
      time < 0) {
    return KRELTA2_INVALID_ARGUMENT;
  }
  return krelta::api::GuardLogged("krelta2_nodeGetBatchTimes", [&] {
    std::int64_t start = -1, end = -1;
    Unwrap(node)->GetBatchTimes(batchId, time, &start, &end);
    *startTime = static_cast<uint32_t>(start);
    *endTime = static_cast<uint32_t>(end);
  });
}

}  // extern "C"
