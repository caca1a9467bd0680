// Lazy item registration: the first read or write of a tag adds its item to the private group.
#include <unordered_map>
#include <unordered_set>

#include "log/log_file.h"
#include "model/nodes.h"
#include "opcda/format_result.h"
#include "opcda/opc_da_proxy.h"
#include "platform/com/wide_text.h"
#include "util/exception.h"
#include "util/format.h"

namespace krelta {

ServerHandleSlots CollectServerHandles(const std::vector<NodeGroupEntry>& entries) {
  ServerHandleSlots slots;
  slots.slotOfEntry.reserve(entries.size());
  std::unordered_map<OPCHANDLE, std::uint32_t> slotOfHandle;
  slotOfHandle.reserve(entries.size());
  for (const NodeGroupEntry& entry : entries) {
    if (entry.tag == nullptr || !entry.tag->HasServerHandle()) {
      slots.slotOfEntry.push_back(ServerHandleSlots::kNoSlot);
      continue;
    }
    const OPCHANDLE handle = entry.tag->GetServerHandle();
    const auto [at, added] =
        slotOfHandle.emplace(handle, static_cast<std::uint32_t>(slots.handles.size()));
    if (added) slots.handles.push_back(handle);
    slots.slotOfEntry.push_back(at->second);
  }
  return slots;
}

void OpcDaProxy::UpdateServerHandles(const std::vector<NodeGroupEntry>& entries) {
  SessionGuard guard(*this);
  std::vector<Tag*> tags;
  std::vector<com::Bstr> itemIds;
  std::unordered_set<std::string> taken;
  for (const NodeGroupEntry& entry : entries) {
    Tag* tag = entry.tag;
    if (tag == nullptr || tag->HasServerHandle()) continue;
    std::string itemId = tag->GetItemId();
    if (!taken.insert(itemId).second) continue;  // a later call adds the second tag of an ID
    tags.push_back(tag);
    itemIds.emplace_back(com::Utf8ToWide(itemId).c_str());
  }
  if (tags.empty()) return;
  if (!itemMgt_) throw Exception("The server connection is closed.");

  std::vector<OPCITEMDEF> definitions(tags.size());
  for (std::size_t i = 0; i < definitions.size(); ++i) {
    OPCITEMDEF& d = definitions[i];
    d.szAccessPath = nullptr;
    d.szItemID = itemIds[i].get();
    d.bActive = TRUE;
    d.hClient = static_cast<OPCHANDLE>(serverHandles_.size() + i);
    d.vtRequestedDataType = VT_EMPTY;
  }
  const com::ComPtr<IOPCItemMgt> itemMgt = itemMgt_;
  com::CoTaskArray<OPCITEMRESULT, com::ItemResultCleanup> results;
  com::CoTaskArray<HRESULT> errors;
  const DWORD count = static_cast<DWORD>(definitions.size());
  const HRESULT hr = itemMgt->AddItems(count, definitions.data(), results.put(), errors.put());
  results.set_size(SUCCEEDED(hr) ? count : 0);
  errors.set_size(SUCCEEDED(hr) ? count : 0);
  if (FAILED(hr)) {
    if (!NoteServerGone("IOPCItemMgt::AddItems", hr)) {
      connectionLog_.Write(kLogError, "Could not retrieve item handles. GetItemHandles for "
                                      "UpdateServerHandles in OpcDAProxy failed.");
    }
    throw Exception(Format("IOPCItemMgt::AddItems failed: %1%", FormatResult(hr)));
  }
  if (!results) throw Exception("IOPCItemMgt::AddItems returned no item results.");

  std::string failures;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    // A failed item keeps no handle: whatever the server left in its result (often 0) may be
    // another item's handle. It reads as bad and is tried again on a later call.
    if (errors && FAILED(errors[i])) {
      failures += Format("\nItem %1% (%2%) failed: %3%", i, com::WideToUtf8(itemIds[i].get()),
                         FormatResult(errors[i]));
      continue;
    }
    tags[i]->SetServerHandle(results[i].hServer);
    serverHandles_.push_back(results[i].hServer);
  }
  if (!failures.empty()) {
    connectionLog_.Write(kLogWarning, "IOPCItemMgt::AddItems partially failed, result: " +
                                          FormatResult(hr) + failures);
  }
}

com::ComPtr<IOPCSyncIO> OpcDaProxy::SyncIO() {
  if (!syncIO_ && itemMgt_) NoteServerGone("QueryInterface(IOPCSyncIO)", itemMgt_.As(&syncIO_));
  return syncIO_;
}

com::ComPtr<IOPCSyncIO2> OpcDaProxy::SyncIO2() {
  if (!syncIO2Asked_ && itemMgt_) {
    syncIO2Asked_ = true;
    NoteServerGone("QueryInterface(IOPCSyncIO2)", itemMgt_.As(&syncIO2_));
  }
  return syncIO2_;
}

}  // namespace krelta
