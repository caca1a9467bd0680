// Lazy item registration: the first read or write of a tag adds its item to the private group.
#include <unordered_map>

#include "model/nodes.h"
#include "opcda/opc_da_proxy.h"
#include "opcda/on_session.h"
#include "platform/com/wide_text.h"

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

OpcDaProxy::AddedHandles OpcDaProxy::AddItems(const std::vector<std::string>& itemIds) {
  AddedHandles added;
  NoteLoss();
  std::vector<std::wstring> wide;
  wide.reserve(itemIds.size());
  for (const std::string& id : itemIds) wide.push_back(com::Utf8ToWide(id));
  SessionOutcome<AddedItems> answer = OnSession<AddedItems>(
      "IOPCItemMgt::AddItems",
      [ids = std::move(wide)](OpcDaSession& session) { return session.AddItems(ids); });
  NoteLoss();
  if (!answer.Answered()) {
    if (answer.kind == SessionOutcome<AddedItems>::kNoAnswer) added.outcome = AddedHandles::kNoAnswer;
    return added;  // else kClosed
  }
  added.call = answer->call;
  if (FAILED(answer->call) || answer->errors.size() != itemIds.size()) {
    added.outcome = AddedHandles::kFailed;
    return added;
  }
  added.outcome = AddedHandles::kAdded;
  added.handles.resize(itemIds.size());
  for (std::size_t i = 0; i < itemIds.size(); ++i) {
    // A failed item keeps no handle: whatever the server left in its result (often 0) may be
    // another item's handle. It reads as bad and is tried again on a later call.
    if (SUCCEEDED(answer->errors[i])) added.handles[i] = answer->handles[i];
  }
  return added;
}

OpcDaProxy::AddedHandles::Outcome OpcDaProxy::UpdateServerHandles(
    const std::vector<NodeGroupEntry>& entries, HRESULT& callResult) {
  std::vector<std::string> itemIds;
  std::unordered_map<std::string, std::vector<Tag*>> tagsOfId;
  for (const NodeGroupEntry& entry : entries) {
    Tag* tag = entry.tag;
    if (tag == nullptr || tag->HasServerHandle()) continue;
    std::string itemId = tag->GetItemId();
    std::vector<Tag*>& tags = tagsOfId[itemId];
    if (tags.empty()) itemIds.push_back(itemId);
    tags.push_back(tag);
  }
  if (itemIds.empty()) return AddedHandles::kAdded;
  const AddedHandles added = AddItems(itemIds);
  callResult = added.call;
  if (added.outcome != AddedHandles::kAdded) return added.outcome;
  for (std::size_t i = 0; i < itemIds.size(); ++i) {
    if (!added.handles[i]) continue;
    for (Tag* tag : tagsOfId[itemIds[i]]) tag->SetServerHandle(*added.handles[i]);
  }
  return AddedHandles::kAdded;
}

}  // namespace krelta
