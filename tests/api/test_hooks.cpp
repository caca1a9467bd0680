// The library as the recovery tests load it: every krelta2_ export plus test hooks, so a test
// need not wait the real 10 s per reconnect cycle or 15 s per call bound. Shipped builds have
// no such export.
#include <chrono>
#include <cstdint>

#include "opcda/group_subscription.h"
#include "opcda/opc_da_proxy.h"
#include "opcda/session_thread.h"

extern "C" void krelta_test_setReconnectIntervals(uint32_t firstMilliseconds,
                                                  uint32_t longestMilliseconds) {
  krelta::OpcDaProxy::SetReconnectIntervalsForTesting(std::chrono::milliseconds(firstMilliseconds),
                                                      std::chrono::milliseconds(longestMilliseconds));
}

// Milliseconds; a negative value restores the configured bound.
extern "C" void krelta_test_setCallTimeout(int32_t milliseconds) {
  krelta::OpcDaProxy::SetCallTimeoutForTesting(std::chrono::milliseconds(milliseconds));
}

// Session threads that have not ended, abandoned ones included.
extern "C" int32_t krelta_test_sessionThreads() { return krelta::SessionThread::Running(); }

// The subscription's refresh period and the bound of its answer, milliseconds; 0: the defaults.
extern "C" void krelta_test_setRefreshTiming(int32_t periodMilliseconds, int32_t answerMilliseconds) {
  krelta::GroupSubscription::SetRefreshTimingForTesting(std::chrono::milliseconds(periodMilliseconds),
                                                        std::chrono::milliseconds(answerMilliseconds));
}
