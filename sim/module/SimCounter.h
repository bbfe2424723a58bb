#pragma once
#include <atomic>

namespace jvsim {

// A fault switch's "next N" counter: -1 always fires, N > 0 fires and
// counts down, 0 never fires. Safe against a test changing it meanwhile.
inline bool takeOne(std::atomic<int>& n) {
  int v = n.load();
  while (true) {
    if (v < 0) return true;
    if (v == 0) return false;
    if (n.compare_exchange_weak(v, v - 1)) return true;
  }
}

}  // namespace jvsim
