// How a call retries, as data: the attempts of each loop (the login and the
// command), the pauses between them, and which failures are worth another
// attempt. The call engine (tarnel_call_context.h) applies it to every loop.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

#include "tarnel_call.h"

struct retry_policy {
  int attempts = 5;
  // The pause after failed attempt n: pauses[n - 1], the last entry
  // repeating; when empty, 5 s growing by 5 s (5, 10, 15, ...).
  std::vector<std::chrono::milliseconds> pauses;
  // A pause follows the last failed attempt too.
  bool pause_after_last = true;
  // The reasons worth another attempt, a bit each (1 << reason). A status is
  // retried through its reason (exchange_reason.h). A cancel is never
  // retried, nor a time-out once the call's own deadline has passed.
  unsigned retried_reasons = 0;
  // A disk request refused with 401 is retried after a new login, in a loop
  // that holds credentials.
  bool login_again_after_401 = false;

  // The designed policy: five attempts, 5 to 25 s after every failed one,
  // the last included, whatever failed (a designed operation records no
  // reason, so a failure may read ok). The responsive one: transport
  // failures, time-outs and the retried statuses only, no pause after the
  // last attempt, a new login after a disk request's 401. Either with the
  // attempts and pauses of `options`.
  static retry_policy of(const tarnel_call_options& options) {
    const auto bit = [](tarnel_reason reason) { return 1u << static_cast<unsigned>(reason); };
    retry_policy policy;
    policy.retried_reasons = ~bit(tarnel_reason::cancelled);
    if (options.policy == tarnel_retry_policy::responsive) {
      policy.pause_after_last = false;
      policy.retried_reasons = bit(tarnel_reason::unreachable) | bit(tarnel_reason::timed_out) |
                               bit(tarnel_reason::cluster_error);
      policy.login_again_after_401 = true;
    }
    if (options.attempts > 0) policy.attempts = options.attempts;
    policy.pauses = options.pauses;
    return policy;
  }

  bool retries(tarnel_reason reason) const {
    return (retried_reasons >> static_cast<unsigned>(reason) & 1u) != 0;
  }
  std::chrono::milliseconds pause_after(int number) const {
    if (pauses.empty()) return std::chrono::milliseconds(5000) * number;
    return pauses[std::min(static_cast<size_t>(number), pauses.size()) - 1];
  }
};
