// Keeps interrupts waiting while the hosts file is being written.
#pragma once

#include "platform/platform.h"

namespace tarnwick {

// From construction to destruction, Ctrl-C, a hang-up or a polite kill waits;
// then it takes its usual course. A save holds them from its first byte
// written to its end, so that it either finishes or fails, and never stops
// halfway.
class InterruptHold {
 public:
  InterruptHold() { platform::hold_interrupts(); }
  ~InterruptHold() { platform::release_interrupts(); }
  InterruptHold(const InterruptHold&) = delete;
  InterruptHold& operator=(const InterruptHold&) = delete;
};

}  // namespace tarnwick
