// Fills the outcome of a call (tarnel_call.h).
//
// Texts from a reply or from the drive helper (quote) are made fit to show:
// the login password replaced by "***", control characters escaped, cut to
// an excerpt. A password shorter than 4 bytes cannot be masked without
// blanking ordinary text, so with one such texts are withheld and the field
// says so. Texts the library makes itself are recorded as they are.
#pragma once

#include <chrono>
#include <string>

#include "tarnel_call.h"

class outcome_recorder {
 public:
  // Records into `outcome` as it is. `password`, the login password the
  // call may send, outlives the recorder.
  outcome_recorder(tarnel_outcome& outcome, const std::string& password);

  tarnel_outcome& outcome() const { return outcome_; }
  void fail(tarnel_reason reason, std::string detail);
  // Ends the record: ok when `succeeded` (a failure keeps its reason, or gets
  // one), and the time spent since `start`.
  void finish(bool succeeded, std::chrono::steady_clock::time_point start);
  std::string quote(const std::string& text) const;
  // The cluster's error record in a refusal's body ({"error":{"code",
  // "message"}}), or an excerpt of the body; both empty without a body.
  void refusal(const char* body, unsigned long length);

 private:
  tarnel_outcome& outcome_;
  const std::string& password_;
};
