// The synchronous write behind the host's historical write: one server write per row.
#include <unordered_set>

#include "log/log_file.h"
#include "model/nodes.h"
#include "opc_da_constants.h"
#include "opcda/format_result.h"
#include "opcda/opc_da_proxy.h"
#include "opcda/value_conversion.h"
#include "util/exception.h"
#include "util/format.h"

namespace krelta {
namespace {

constexpr std::uint32_t kAbsent = 0xFFFFFFFF;

// One item of the request: a plain tag's item, or an array item whose elements the request's
// array tags supply.
struct WriteTarget {
  OPCHANDLE handle = 0;
  std::string name;                      // for messages
  std::uint32_t position = kAbsent;      // plain item: the request position of its value
  std::vector<std::uint32_t> elements;   // array item: request position per element index
  bool isArray = false;
  bool refusalLogged = false;
};

std::vector<WriteTarget> Targets(const std::vector<NodeGroupEntry>& entries,
                                 const ServerHandleSlots& slots) {
  std::vector<WriteTarget> targets(slots.handles.size());
  std::vector<bool> seen(slots.handles.size(), false);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint32_t slot = slots.slotOfEntry[i];
    if (slot == ServerHandleSlots::kNoSlot) continue;  // not registered: nothing to write to
    WriteTarget& target = targets[slot];
    const Tag& tag = *entries[i].tag;
    if (!seen[slot]) {
      seen[slot] = true;
      target.handle = slots.handles[slot];
      target.isArray = tag.IsArray();
      if (target.isArray) {
        const ArrayNode& node = static_cast<const ArrayTag&>(tag).GetArrayNode();
        target.name = node.Path();
        target.elements.assign(node.Tags().size(), kAbsent);
      } else {
        target.name = tag.Name();
      }
    }
    // A later position of the same item wins, as it would in sequential writes.
    if (!target.isArray) {
      target.position = entries[i].position;
    } else if (tag.IsArray()) {
      const std::uint32_t index = static_cast<const ArrayTag&>(tag).Index();
      if (index < target.elements.size()) target.elements[index] = entries[i].position;
    }
  }
  return targets;
}

// The VARIANTs of one row, cleared when the row is done.
class RowValues {
 public:
  ~RowValues() {
    for (VARIANT& v : values) ::VariantClear(&v);
  }
  std::vector<VARIANT> values;
  std::vector<OPCHANDLE> handles;
  std::vector<const WriteTarget*> targets;
};

// Every element of an array as one SAFEARRAY in element order: VT_R4 when all cells hold
// numbers, VT_BSTR when all hold texts, VT_VARIANT otherwise. False when a cell is null.
bool ArrayValue(const ValueVector& row, const std::vector<std::uint32_t>& positions, VARIANT& out) {
  bool numbers = true, texts = true;
  for (std::uint32_t p : positions) {
    if (p == kAbsent || row.Kind(p) == SlotKind::Null) return false;
    numbers = numbers && row.Kind(p) == SlotKind::Number;
    texts = texts && row.Kind(p) == SlotKind::Text;
  }
  const VARTYPE type = numbers ? VT_R4 : texts ? VT_BSTR : VT_VARIANT;
  SAFEARRAY* array = ::SafeArrayCreateVector(type, 0, static_cast<ULONG>(positions.size()));
  if (array == nullptr) throw std::bad_alloc();
  for (LONG i = 0; i < static_cast<LONG>(positions.size()); ++i) {
    com::Variant cell;
    CellToVariant(row, positions[i], *cell);
    void* datum = type == VT_R4 ? static_cast<void*>(&cell->fltVal)
                  : type == VT_BSTR ? static_cast<void*>(cell->bstrVal)
                                    : static_cast<void*>(cell.get());
    const HRESULT hr = ::SafeArrayPutElement(array, &i, datum);
    if (FAILED(hr)) {
      ::SafeArrayDestroy(array);
      throw std::bad_alloc();
    }
  }
  out.vt = static_cast<VARTYPE>(VT_ARRAY | type);
  out.parray = array;
  return true;
}

// The row's time in milliseconds since 1970; false when it lies outside what a FILETIME holds.
bool RowTime(std::int64_t startSeconds, std::int64_t stepMilliseconds, std::size_t row,
             std::int64_t& milliseconds) {
  constexpr std::int64_t kMaxMilliseconds = 900000000000000LL;  // about year 30,000
  std::int64_t offset = 0;
  if (__builtin_mul_overflow(static_cast<std::int64_t>(row), stepMilliseconds, &offset) ||
      __builtin_add_overflow(startSeconds * 1000, offset, &milliseconds)) {
    return false;
  }
  return milliseconds >= 0 && milliseconds <= kMaxMilliseconds;
}

FILETIME ToFileTime(std::int64_t millisecondsSince1970) {
  const std::uint64_t ticks = static_cast<std::uint64_t>(millisecondsSince1970 + 11644473600000LL) * 10000;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Counts accepted items and appends "\nItem <name> failed: <result>" for the others, except
// those `skip` claims (they are handled elsewhere).
template <typename Skip>
std::size_t Accepted(const com::CoTaskArray<HRESULT>& errors, const RowValues& row,
                     std::string& failures, Skip&& skip) {
  std::size_t accepted = 0;
  for (std::size_t k = 0; k < row.handles.size(); ++k) {
    const HRESULT e = errors ? errors[k] : S_OK;
    if (SUCCEEDED(e)) {
      ++accepted;
    } else if (!skip(k, e)) {
      failures += Format("\nItem %1% failed: %2%", row.targets[k]->name, FormatResult(e));
    }
  }
  return accepted;
}

// IOPCSyncIO::Write of the row's values; returns the number accepted. A failed call's result
// lands in callResult; one that says the server is gone is left to the caller to log.
std::size_t WriteValues(IOPCSyncIO* io, RowValues& row, LogFile& log, HRESULT& callResult) {
  const DWORD count = static_cast<DWORD>(row.handles.size());
  com::CoTaskArray<HRESULT> errors;
  const HRESULT hr = io->Write(count, row.handles.data(), row.values.data(), errors.put());
  callResult = hr;
  errors.set_size(SUCCEEDED(hr) ? count : 0);
  if (FAILED(hr)) {
    if (!IsServerGone(hr)) log.Write(kLogError, Format("IOPCSyncIO::Write failed: %1%", FormatResult(hr)));
    return 0;
  }
  std::string failures;
  const std::size_t accepted = Accepted(errors, row, failures, [](std::size_t, HRESULT) { return false; });
  if (!failures.empty()) {
    log.Write(kLogWarning, "IOPCSyncIO::Write partially failed, result: " + FormatResult(hr) + failures);
  }
  return accepted;
}

}  // namespace

void OpcDaProxy::WriteData(const std::vector<NodeGroupEntry>& entries, std::int64_t startSeconds,
                           std::int64_t stepMilliseconds, const std::vector<ValueVector*>& rows,
                           bool writeVqt) {
  com::ComPtr<IOPCSyncIO2> io2;
  com::ComPtr<IOPCSyncIO> io;
  {
    SessionGuard guard(*this);
    if (!itemMgt_) throw Exception("Could not write data.");
    try {
      UpdateServerHandles(entries);
    } catch (const Exception& e) {
      connectionLog_.Write(kLogError, Format("WriteData Could not update server handles: %1%", e.message()));
      throw Exception("Could not write data.");
    }
    if (writeVqt) io2 = SyncIO2();
    io = SyncIO();  // also the fallback for items that refuse quality and time stamp
    if (!io2 && !io) throw Exception("Could not write data.");
  }
  LogFile& log = connectionLog_;
  const ServerHandleSlots slots = CollectServerHandles(entries);
  std::vector<WriteTarget> targets = Targets(entries, slots);

  std::size_t accepted = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const ValueVector& cells = *rows[r];
    std::int64_t milliseconds = 0;
    if (!RowTime(startSeconds, stepMilliseconds, r, milliseconds)) {
      log.Write(kLogError, Format("WriteData: the time of row %1% lies outside the range of OPC "
                                  "time stamps; the row is not written.",
                                  r));
      continue;
    }
    const std::int64_t seconds = milliseconds / 1000;
    for (const NodeGroupEntry& entry : entries) entry.tag->SetUpdateTime(seconds);

    RowValues row;
    row.values.reserve(targets.size());
    for (WriteTarget& target : targets) {
      VARIANT value;
      ::VariantInit(&value);
      if (!target.isArray) {
        CellToVariant(cells, target.position, value);
        // A plain write of VT_EMPTY would make many servers store 0: a null cell is only ever
        // sent as "no value" beside a quality and time stamp.
        if (value.vt == VT_EMPTY && !io2) continue;
      } else if (!ArrayValue(cells, target.elements, value)) {
        if (!target.refusalLogged) {
          target.refusalLogged = true;
          log.Write(kLogWarning, Format("Array %1% is not written: the request holds no value for "
                                        "some of its %2% elements, and an array is written whole "
                                        "or not at all.",
                                        target.name, target.elements.size()));
        }
        continue;
      }
      row.values.push_back(value);
      row.handles.push_back(target.handle);
      row.targets.push_back(&target);
    }
    if (row.handles.empty()) continue;
    const DWORD count = static_cast<DWORD>(row.handles.size());

    HRESULT callResult = S_OK;
    if (!io2) {
      accepted += WriteValues(io.Get(), row, log, callResult);
      if (NoteServerGone("IOPCSyncIO::Write", callResult)) break;  // later rows are not kept
      continue;
    }
    const FILETIME stamp = ToFileTime(milliseconds);
    std::vector<OPCITEMVQT> vqts(count);
    for (DWORD k = 0; k < count; ++k) {
      vqts[k].vDataValue = row.values[k];  // borrowed; row clears it
      vqts[k].bQualitySpecified = TRUE;
      vqts[k].wQuality = OPC_QUALITY_GOOD;
      vqts[k].bTimeStampSpecified = TRUE;
      vqts[k].ftTimeStamp = stamp;
    }
    com::CoTaskArray<HRESULT> errors;
    const HRESULT hr = io2->WriteVQT(count, row.handles.data(), vqts.data(), errors.put());
    errors.set_size(SUCCEEDED(hr) ? count : 0);
    if (FAILED(hr)) {
      if (NoteServerGone("IOPCSyncIO2::WriteVQT", hr)) break;
      log.Write(kLogError, Format("IOPCSyncIO2::WriteVQT failed: %1%", FormatResult(hr)));
      continue;
    }
    // Items that refuse quality or time stamp get their value alone, in this row.
    RowValues retry;
    std::string failures;
    accepted += Accepted(errors, row, failures, [&](std::size_t k, HRESULT e) {
      if (e != OPC_E_NOTSUPPORTED || !io || row.values[k].vt == VT_EMPTY) return false;
      retry.values.push_back(row.values[k]);
      ::VariantInit(&row.values[k]);  // moved
      retry.handles.push_back(row.handles[k]);
      retry.targets.push_back(row.targets[k]);
      return true;
    });
    if (!failures.empty()) {
      log.Write(kLogWarning,
                "IOPCSyncIO2::WriteVQT partially failed, result: " + FormatResult(hr) + failures);
    }
    if (!retry.handles.empty()) {
      if (!vqtRefusalLogged_) {
        vqtRefusalLogged_ = true;
        log.Write(kLogWarning, "IOPCSyncIO2::WriteVQT: the server does not support writing quality "
                               "or time stamp for some items; their values are written without "
                               "them with IOPCSyncIO::Write.");
      }
      accepted += WriteValues(io.Get(), retry, log, callResult);
      if (NoteServerGone("IOPCSyncIO::Write", callResult)) break;
    }
  }
  if (accepted == 0) throw Exception("Could not write data.");
}

}  // namespace krelta
