// Bytes in use in every heap of the process, for benchmarks that report memory per object.
// Windows only.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

namespace krelta::bench {

inline std::size_t HeapBytesInUse() {
  std::vector<HANDLE> heaps(::GetProcessHeaps(0, nullptr) + 16);
  heaps.resize(::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
  std::size_t bytes = 0;
  for (HANDLE heap : heaps) {
    if (!::HeapLock(heap)) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (::HeapWalk(heap, &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) bytes += entry.cbData;
    }
    ::HeapUnlock(heap);
  }
  return bytes;
}

}  // namespace krelta::bench
