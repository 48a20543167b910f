// Test support: a job gate that lets a given number of passes through and refuses every
// later one, counting down below zero so that a test can tell where the work stopped.
#pragma once

#include "engine/progress.h"

namespace pstorian::testing {

class StopAfter final : public JobGate {
 public:
  explicit StopAfter(int n) : left_(n) {}
  bool pass() override { return left_-- > 0; }
  int left_;
};

}  // namespace pstorian::testing
