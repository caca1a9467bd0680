// How OpcDaProxy hands an operation to its session thread and waits for it with the bound.
// Included by the proxy's own source files only.
#pragma once

#include <memory>
#include <optional>

#include "opcda/opc_da_proxy.h"
#include "opcda/opc_da_session.h"
#include "opcda/session_thread.h"
#include "opcda/slim_sync.h"

namespace krelta {

template <typename Answer, typename Work>
std::optional<Answer> OpcDaProxy::OnSession(const char* call, Work&& work) {
  timedOut_ = false;
  if (!session_) return std::nullopt;
  // The task owns everything it works on: when the caller stops waiting, the thread still
  // finishes the call with its own copies.
  auto slot = std::make_shared<AnswerSlot<Answer>>();
  const bool posted = session_->Post([slot, work = std::forward<Work>(work)](OpcDaSession& session) mutable {
    try {
      slot->Set(work(session));
    } catch (...) {
      slot->SetFailure(std::current_exception());
    }
  });
  if (!posted) return std::nullopt;
  if (!slot->Wait(CallBound())) {
    const char* current = session_->CurrentCall();
    Abandon(current != nullptr ? current : call);
    timedOut_ = true;
    return std::nullopt;
  }
  return slot->Take();
}

}  // namespace krelta
