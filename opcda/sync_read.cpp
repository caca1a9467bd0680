// The synchronous cache read behind every current-data read of the host.
#include <cstdio>
#include <sstream>
#include <unordered_set>

#include "log/log_file.h"
#include "model/nodes.h"
#include "opc_da_constants.h"
#include "opcda/format_result.h"
#include "opcda/on_session.h"
#include "opcda/value_conversion.h"
#include "util/exception.h"
#include "util/format.h"

namespace krelta {
namespace {

// "Data value for tag <name>, result: <result>\ntime: "<time>", quality: "<quality>", value: {..}"
std::string TraceLine(const Tag& tag, HRESULT error, const OPCITEMSTATE& state) {
  std::ostringstream line;
  line << "Data value for tag " << tag.Name() << ", result: " << FormatResult(error)
       << "\ntime: \"" << FormatFileTimeUtc(state.ftTimeStamp) << "\", quality: \""
       << QualityName(state.wQuality) << "\", value: ";
  DumpVariant(line, state.vDataValue);
  return line.str();
}

// "<n> elements: a, b, c, ..." for an array value (its first three elements as the read
// converts them); empty for a scalar.
std::string ArrayText(const VARIANT& value) {
  if ((value.vt & VT_ARRAY) == 0) return std::string();
  const std::uint32_t count = ElementCount(value);
  std::ostringstream text;
  text << count << (count == 1 ? " element" : " elements");
  const ValueClass valueClass = ClassOf(value);
  for (std::uint32_t i = 0; i < count && i < 3; ++i) {
    const CellValue cell = ConvertElement(value, valueClass, i);
    text << (i == 0 ? ": " : ", ");
    if (cell.kind == SlotKind::Number) {
      char number[32];
      std::snprintf(number, sizeof number, "%.9g", static_cast<double>(cell.number));
      text << number;
    } else if (cell.kind == SlotKind::Text) {
      text << '"' << cell.text << '"';
    } else {
      text << "null";
    }
  }
  if (count > 3) text << ", ...";
  return text.str();
}

}  // namespace

void OpcDaProxy::Read(const std::vector<NodeGroupEntry>& entries, ValueMatrix& matrix) {
  if (!IsConnected()) throw Exception("Could not read data.");
  HRESULT registration = S_OK;
  switch (UpdateServerHandles(entries, registration)) {
    case AddedHandles::kAdded:
      break;
    case AddedHandles::kClosed:  // a shutdown request came first, or during the call
      throw Exception("Could not read data.");
    case AddedHandles::kFailed:
      connectionLog_.Write(kLogError, Format("Could not update server handles: %1%",
                                             Format("IOPCItemMgt::AddItems failed: %1%",
                                                    FormatResult(registration))));
      return;
    case AddedHandles::kNoAnswer:  // logged when the session was abandoned
      return;
  }
  ServerHandleSlots slots = CollectServerHandles(entries);
  const DWORD count = static_cast<DWORD>(slots.handles.size());
  LogFile& log = connectionLog_;
  const bool debug = log.Enabled(kLogDebug);

  ReadAnswer answer;
  if (count > 0) {
    if (debug) {
      log.Write(kLogDebug, Format("Calling IOPCSyncIO::Read, input parameters:\nNumItems: %1%", count));
    }
    SessionOutcome<ReadAnswer> read = OnSession<ReadAnswer>(
        "IOPCSyncIO::Read",
        [handles = std::move(slots.handles)](OpcDaSession& session) { return session.Read(handles); });
    NoteLoss();
    // No answer in time, or a shutdown request during the call: cells stay unset.
    if (!read.Answered()) return;
    if (read->noInterface) throw Exception("Could not read data.");
    if (FAILED(read->call)) return;  // logged on the session
    if (!read->states) {
      log.Write(kLogError, "IOPCSyncIO::Read failed: no item states returned");
      return;
    }
    log.Write(kLogDebug, "IOPCSyncIO::Read succeeded");
    answer = std::move(*read);
  }
  const auto& states = answer.states;
  const auto& errors = answer.errors;

  ValueVector& row = *matrix.Row(0);
  const OPCITEMSTATE unregistered{};  // a tag whose item could not be added reads as bad
  std::unordered_set<std::uint32_t> mismatchedArrays;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    Tag& tag = *entries[i].tag;
    const std::uint32_t position = entries[i].position;
    const std::uint32_t slot = slots.slotOfEntry[i];
    const bool registered = slot != ServerHandleSlots::kNoSlot;
    const HRESULT error = !registered ? OPC_E_INVALIDHANDLE : errors ? errors[slot] : S_OK;
    const OPCITEMSTATE& state = registered ? states[slot] : unregistered;
    const bool bad = FAILED(error) || IsBadQuality(state.wQuality);
    if (debug || bad) log.Write(bad ? kLogError : kLogDebug, TraceLine(tag, error, state));
    if (bad) {
      log.Write(kLogDebug, "Proxy Read: Status Bad");
      continue;
    }

    std::uint32_t element = 0;
    if (tag.IsArray()) {
      const auto& arrayTag = static_cast<const ArrayTag&>(tag);
      const ArrayNode& arrayNode = arrayTag.GetArrayNode();
      const std::size_t expected = arrayNode.Tags().size();
      const std::uint32_t got = ElementCount(state.vDataValue);
      if (got != expected) {
        // Every element of a mismatched array stays unset; the mismatch is logged once.
        if (mismatchedArrays.insert(slot).second) {
          log.Write(kLogError,
                    Format("Array data does not match the set size. Returning missing values. "
                           "%1% elements read from tag %2%, expected %3% (the size attribute set "
                           "in the configuration)",
                           got, arrayNode.Path(), expected));
        }
        continue;
      }
      element = arrayTag.Index();
    }

    const CellValue cell = ConvertElement(state.vDataValue, ClassOf(state.vDataValue), element);
    if (cell.notANumber) {
      log.Write(kLogWarning, Format("IOPCSyncIO::Read returned not a number for tag: %1%, empty "
                                    "value used instead.",
                                    tag.Name()));
    }
    StoreCell(cell, row, position);
    if (cell.kind == SlotKind::Text && tag.IsBatchIdTag()) tag.SetBatchIdValue(cell.text);
    tag.SetUpdateTime(FileTimeToUnixSeconds(state.ftTimeStamp));

    if (tag.IsBatchIdTag() && cell.kind != SlotKind::Text && !tag.BatchIdValue().empty()) {
      row.SetText(position, tag.BatchIdValue());
      tag.SetBatchIdValue(std::string());
      log.Write(kLogWarning, "OpcDAProxy Read found no values. Padding with old value.");
    }
  }
}

std::optional<ItemSamples> OpcDaProxy::ReadSamples(const std::vector<OPCHANDLE>& handles) {
  SessionOutcome<ReadAnswer> read = OnSession<ReadAnswer>(
      "IOPCSyncIO::Read", [handles](OpcDaSession& session) { return session.Read(handles); });
  NoteLoss();
  if (!read.Answered()) return std::nullopt;
  ItemSamples samples;
  samples.call = read->noInterface ? E_NOINTERFACE : read->call;
  if (FAILED(samples.call) || !read->states) return samples;
  for (std::size_t i = 0; i < read->states.size(); ++i) {
    const OPCITEMSTATE& state = read->states[i];
    std::ostringstream value;
    DumpVariant(value, state.vDataValue);
    samples.items.push_back({read->errors ? read->errors[i] : S_OK, value.str(), ArrayText(state.vDataValue),
                             state.wQuality, state.ftTimeStamp});
  }
  return samples;
}

}  // namespace krelta
