// Takes turns between multi-threaded fits started from different threads at
// once: each such fit already uses every core it is allowed, so running two
// together only oversubscribes the machine. Results never depend on it. The
// queue lives in the shared core library, so fits of both extension modules
// queue together.
#pragma once

#include "tarvo/control.hpp"

namespace tarvo::internal {

// Holds this thread's turn from construction until destruction.
class FitTurn {
 public:
  // Waits, first come first served, until no earlier fit holds a turn.
  // While waiting it keeps polling `control` (may be null), so an
  // interrupt ends the wait: then granted() is false.
  explicit FitTurn(FitControl* control);
  ~FitTurn();
  FitTurn(const FitTurn&) = delete;
  FitTurn& operator=(const FitTurn&) = delete;

  // True when this fit may run.
  bool granted() const { return granted_; }

 private:
  unsigned long ticket_ = 0;
  bool granted_ = false;
};

}  // namespace tarvo::internal
