// The library as the recovery tests load it: every krelta2_ export plus one test hook, so a test
// need not wait the real 10 s per reconnect cycle. Shipped builds have no such export.
#include <chrono>
#include <cstdint>

#include "opcda/opc_da_proxy.h"

extern "C" void krelta_test_setReconnectIntervals(uint32_t firstMilliseconds,
                                                  uint32_t longestMilliseconds) {
  krelta::OpcDaProxy::SetReconnectIntervalsForTesting(std::chrono::milliseconds(firstMilliseconds),
                                                      std::chrono::milliseconds(longestMilliseconds));
}
