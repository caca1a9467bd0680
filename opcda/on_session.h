// How OpcDaProxy hands an operation to its session thread and waits for it with the bound.
// Included by the proxy's own source files only.
#pragma once

#include <objbase.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <type_traits>

#include "opcda/opc_da_proxy.h"
#include "opcda/opc_da_session.h"
#include "opcda/session_thread.h"
#include "opcda/slim_sync.h"

namespace krelta {

// Whether the calling thread belongs to a single-threaded apartment (it must pump messages
// while it waits).
inline bool InSingleThreadedApartment() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  return SUCCEEDED(::CoGetApartmentType(&type, &qualifier)) &&
         (type == APTTYPE_STA || type == APTTYPE_MAINSTA);
}

template <typename Answer>
bool OpcDaProxy::WaitForAnswer(SessionThread& thread, AnswerSlot<Answer>& slot,
                               std::chrono::steady_clock::time_point posted) {
  const std::chrono::milliseconds bound = CallBound();
  if (bound.count() == 0) return slot.WaitUntil(std::nullopt);
  while (!slot.WaitUntil(MeasuredSince(thread, posted) + bound)) {
    // An answer that arrived at the last moment still counts.
    if (OutlivedBound(thread, posted)) return slot.WaitUntil(std::chrono::steady_clock::now());
  }
  return true;
}

template <typename Answer, typename Work>
SessionOutcome<Answer> OpcDaProxy::OnSession(const char* call, Work&& work) {
  SessionOutcome<Answer> outcome;
  if (!session_ || pendingOpen_) return outcome;  // kClosed
  // The task owns everything it works on: when the caller stops waiting, the thread still
  // finishes the call with its own copies.
  auto slot = std::make_shared<AnswerSlot<Answer>>();
  if (InSingleThreadedApartment()) slot->PumpWhileWaiting();
  const auto posted = std::chrono::steady_clock::now();
  if (!session_->Post([slot, work = std::forward<Work>(work)](OpcDaSession& session) mutable {
        try {
          slot->Set(work(session));
        } catch (...) {
          slot->SetFailure(std::current_exception());
        }
      })) {
    return outcome;
  }
  if (!WaitForAnswer(*session_, *slot, posted)) {
    const char* current = session_->CurrentCall();
    outcome.kind = SessionOutcome<Answer>::kNoAnswer;
    outcome.call = current != nullptr ? current : call;
    Abandon(outcome.call);
    return outcome;
  }
  outcome.answer.emplace(slot->Take());
  if constexpr (std::is_base_of_v<SessionAnswer, Answer>) {
    if (outcome.answer->closed) {
      outcome.answer.reset();
      return outcome;
    }
  }
  outcome.kind = SessionOutcome<Answer>::kAnswered;
  return outcome;
}

}  // namespace krelta
