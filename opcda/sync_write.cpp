// The synchronous write behind the host's historical write: one server write per row.
#include <algorithm>
#include <optional>
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

// Why an array item cannot be written whole: an element the request does not name, or one
// whose cell is null.
struct ArrayGap {
  bool missing = false;
  std::size_t element = 0;
};

// Every element of an array as one SAFEARRAY in element order: VT_R4 when all cells hold
// numbers, VT_BSTR when all hold texts, VT_VARIANT otherwise. False, with the first gap, when
// an element is missing or null.
bool ArrayValue(const ValueVector& row, const std::vector<std::uint32_t>& positions, VARIANT& out,
                ArrayGap& gap) {
  bool numbers = true, texts = true;
  for (std::size_t e = 0; e < positions.size(); ++e) {
    const std::uint32_t p = positions[e];
    if (p == kAbsent || row.Kind(p) == SlotKind::Null) {
      gap = ArrayGap{p == kAbsent, e};
      return false;
    }
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

}  // namespace

void OpcDaProxy::WriteData(const std::vector<NodeGroupEntry>& entries, std::int64_t startSeconds,
                           std::int64_t stepMilliseconds, const std::vector<ValueVector*>& rows,
                           bool writeVqt) {
  if (!IsConnected()) throw Exception("Could not write data.");
  HRESULT registration = S_OK;
  const AddedHandles::Outcome registered = UpdateServerHandles(entries, registration);
  if (registered == AddedHandles::kFailed) {
    connectionLog_.Write(kLogError, Format("WriteData Could not update server handles: %1%",
                                           Format("IOPCItemMgt::AddItems failed: %1%",
                                                  FormatResult(registration))));
  }
  if (registered != AddedHandles::kAdded) throw Exception("Could not write data.");
  LogFile& log = connectionLog_;
  const ServerHandleSlots slots = CollectServerHandles(entries);
  std::vector<WriteTarget> targets = Targets(entries, slots);

  std::size_t accepted = 0;
  std::optional<std::int64_t> writtenUpTo;  // the newest row time that reached the server
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const ValueVector& cells = *rows[r];
    std::int64_t milliseconds = 0;
    if (!RowTime(startSeconds, stepMilliseconds, r, milliseconds)) {
      log.Write(kLogError, Format("WriteData: the time of row %1% lies outside the range of OPC "
                                  "time stamps; the row is not written.",
                                  r));
      continue;
    }
    auto row = std::make_shared<WriteRow>();
    row->stamp = ToFileTime(milliseconds);
    row->values.reserve(targets.size());
    for (WriteTarget& target : targets) {
      VARIANT value;
      ::VariantInit(&value);
      ArrayGap gap;
      if (!target.isArray) {
        CellToVariant(cells, target.position, value);
      } else if (!ArrayValue(cells, target.elements, value, gap)) {
        if (!target.refusalLogged) {
          target.refusalLogged = true;
          log.Write(kLogWarning,
                    gap.missing
                        ? Format("Array %1% is not written: the request holds no value for its "
                                 "element %2% (of %3%), and an array is written whole or not at all.",
                                 target.name, gap.element, target.elements.size())
                        : Format("Array %1% is not written: the value of its element %2% (of %3%) "
                                 "is null, and an array is written whole or not at all.",
                                 target.name, gap.element, target.elements.size()));
        }
        continue;
      }
      row->values.push_back(value);
      row->handles.push_back(target.handle);
      row->names.push_back(target.name);
    }
    if (row->handles.empty()) continue;

    const bool logFallback = !vqtFallbackLogged_;
    SessionOutcome<WriteAnswer> answer = OnSession<WriteAnswer>(
        writeVqt ? "IOPCSyncIO2::WriteVQT" : "IOPCSyncIO::Write",
        [row, writeVqt, logFallback](OpcDaSession& session) {
          return session.Write(*row, writeVqt, logFallback);
        });
    NoteLoss();
    if (!answer.Answered()) break;  // no answer in time: the session was abandoned
    if (answer->noInterface && accepted == 0) throw Exception("Could not write data.");
    vqtFallbackLogged_ = vqtFallbackLogged_ || answer->fellBack;
    if (answer->accepted > 0) {
      accepted += answer->accepted;
      writtenUpTo = std::max(writtenUpTo.value_or(milliseconds / 1000), milliseconds / 1000);
    }
    if (answer->closed || answer->serverGone) break;  // later rows are not kept
  }
  if (accepted == 0) throw Exception("Could not write data.");
  for (const NodeGroupEntry& entry : entries) entry.tag->SetUpdateTime(*writtenUpTo);
}

}  // namespace krelta
