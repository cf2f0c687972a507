#include "tarnel_call_context.h"

#include <algorithm>
#include <utility>

#include "RkCancel.h"
#include "RkProcess.h"
#include "rkmx_utils.h"

namespace {

// The designed pause: the host's sleep call, told the call site; nothing cuts it short.
int designed_pause(int milliseconds, const RkCancelToken* /*token*/, const char* file, int line) {
  ZUSLEEP_InTeRnAl(milliseconds, file, line);
  return 0;
}

const call_preset kDesigned = {false, designed_pause, false};
const call_preset kSteered = {true, ZUSLEEP_Cancellable, true};
const tarnel_call_options kDesignedOptions;
}  // namespace

const std::string& no_password() {
  static const std::string kNone;
  return kNone;
}

tarnel_call_context::tarnel_call_context(const tarnel_call_options& options,
                                         tarnel_outcome& outcome, const std::string& password)
    : tarnel_call_context(kSteered, options, outcome, password) {
  outcome = tarnel_outcome();
}

tarnel_call_context::tarnel_call_context(const std::string& password)
    : tarnel_call_context(kDesigned, kDesignedOptions, own_outcome_, password) {}

tarnel_call_context::tarnel_call_context(const call_preset& preset,
                                         const tarnel_call_options& options,
                                         tarnel_outcome& outcome, const std::string& password)
    : preset_(preset),
      options_(options),
      policy_(retry_policy::of(options)),
      recorder_(outcome, password),
      // A designed operation keeps no time: it has no deadline and reports nothing.
      start_(preset.uses_host_additions ? std::chrono::steady_clock::now()
                                        : std::chrono::steady_clock::time_point()),
      pause_scale_(preset.uses_host_additions ? rkmx_utils::get_sleep_scale() : 1.0) {}

long tarnel_call_context::remaining_ms() const {
  if (options_.deadline.count() <= 0) return -1;
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start_);
  const long left = static_cast<long>((options_.deadline - spent).count());
  return left > 0 ? left : 0;
}

bool tarnel_call_context::retry(tarnel_loop loop, const call_site& site,
                                const std::function<bool(int)>& attempt) {
  for (int number = 1; begin_attempt(loop, number); ++number) {
    if (attempt(number)) return true;
    if (!after_failure(loop, number, site)) break;
  }
  return false;
}

bool tarnel_call_context::begin_attempt(tarnel_loop loop, int number) {
  if (!may_send()) return false;
  if (loop == tarnel_loop::command) outcome().attempts = number;
  // The outcome tells about the latest attempt.
  fail(tarnel_reason::ok, std::string());
  return true;
}

bool tarnel_call_context::after_failure(tarnel_loop loop, int number, const call_site& site) {
  const tarnel_reason reason = outcome().reason;
  // A disk request's 401 may be mended by a new login; the call's own
  // deadline is final.
  const bool relogin =
      reason == tarnel_reason::session_refused && policy_.login_again_after_401 && can_login_again_;
  const bool own_deadline = reason == tarnel_reason::timed_out && remaining_ms() == 0;
  bool another = number < policy_.attempts && !own_deadline && (relogin || policy_.retries(reason));
  const bool pauses = another || (policy_.pause_after_last && reason != tarnel_reason::cancelled);
  std::chrono::milliseconds pause =
      pauses ? policy_.pause_after(number) : std::chrono::milliseconds(0);
  // The time the pause really takes: the host's sleep scales it.
  auto slept = std::chrono::milliseconds(
      static_cast<long long>(static_cast<double>(pause.count()) * pause_scale_));
  const long left = remaining_ms();
  if (left >= 0 && slept.count() >= left) {
    // No pause passes the deadline: the call ends now.
    pause = slept = std::chrono::milliseconds(0);
    if (another) fail(tarnel_reason::timed_out, "the call's deadline passed");
    another = false;
  }
  login_again_ = another && relogin;
  if (options_.observer) {
    tarnel_attempt attempt;
    attempt.loop = loop;
    attempt.number = number;
    attempt.limit = policy_.attempts;
    attempt.outcome = outcome();
    attempt.pause = slept;
    try {
      options_.observer(attempt);
    } catch (...) {
      // The observer's failure is not the call's.
    }
  }
  const RkCancelToken* token = options_.cancel;
  const bool cut =
      pause.count() > 0
          ? preset_.pause(static_cast<int>(std::min<long long>(pause.count(), 0x7fffffffLL)), token,
                          site.file, site.line) != 0
          : token != nullptr && token->cancelled();
  if (cut) {
    fail(tarnel_reason::cancelled, std::string());
    return false;
  }
  return another;
}

bool tarnel_call_context::may_send() {
  if (options_.cancel != nullptr && options_.cancel->cancelled()) {
    fail(tarnel_reason::cancelled, std::string());
    return false;
  }
  if (remaining_ms() == 0) {
    fail(tarnel_reason::timed_out, "the call's deadline passed");
    return false;
  }
  return true;
}

void tarnel_call_context::steer(RKLibCurl& client) const {
  if (!preset_.uses_host_additions) return;
  client.setCancelToken(options_.cancel);
  const long left = remaining_ms();
  if (left > 0) client.setTimeLimit(left);
}

void tarnel_call_context::record_exchange(const RKLibCurl& client, tarnel_exchange_kind kind,
                                          bool carried_out, const char* body,
                                          unsigned long length) {
  if (!preset_.uses_host_additions) return;
  tarnel_outcome& out = outcome();
  exchange_end end;
  end.kind = kind;
  end.transport = client.GetTransportResult();
  end.status = static_cast<long>(client.GetHttpErrorCode());
  out.http_status = end.status;
  out.transport_error =
      end.transport == RK_TRANSPORT_DONE ? std::string() : client.GetTransportText();
  if (kind == tarnel_exchange_kind::login) ++out.login_attempts;
  if (carried_out) {
    // A reply that arrived is parsed by the exchange; only a refusal's body is read here.
    recorder_.refusal(nullptr, 0);
    return;
  }
  recorder_.refusal(body, length);
  end.request_sent = client.GetRequestSent();
  const tarnel_reason reason = exchange_reason(end, create_lost_);
  create_lost_ = create_lost_ || create_reply_lost(end);
  fail(reason, exchange_detail(reason));
}

int tarnel_call_context::run_helper(const std::string& command, std::string& output,
                                    std::string& error_output) {
  if (!preset_.uses_host_additions) {
    return RkProcess::system(command.c_str(), &output, &error_output, 0, false);
  }
  // The time left, rounded up to seconds, when it is less than the runner's
  // default bound (120 s); otherwise 0, that default.
  const long left = remaining_ms();
  const int seconds = left >= 0 && left < 120 * 1000 ? static_cast<int>((left + 999) / 1000) : 0;
  return RkProcess::system(command.c_str(), &output, &error_output, seconds, false,
                           options_.cancel);
}

void tarnel_call_context::helper_failed(int status, const std::string& error_output,
                                        const RkException& designed_error) {
  if (!preset_.records_failures) throw designed_error;
  if (status == RK_PROCESS_CANCELLED) {
    fail(tarnel_reason::cancelled, std::string());
  } else if (status == RK_PROCESS_TIMED_OUT) {
    fail(tarnel_reason::timed_out, "the drive helper ran out of time");
  } else {
    const std::string said = quote(error_output);
    fail(tarnel_reason::helper_failed,
         said.empty() ? "the drive helper ended with status " + std::to_string(status) : said);
  }
}

bool tarnel_call_context::wrong_member(const std::string& detail) {
  if (!preset_.records_failures) return true;
  bad_reply(detail);
  return false;
}

void tarnel_call_context::not_ready(const std::function<std::vector<std::string>()>& missing) {
  if (!preset_.records_failures) return;
  run([&] {
    const std::vector<std::string> settings = missing();
    std::string named;
    for (const std::string& setting : settings) named += (named.empty() ? "" : ", ") + setting;
    if (!settings.empty()) outcome().missing_setting = settings.front();
    fail(tarnel_reason::not_ready, named.empty()
                                       ? "the facade was not ready when made; make it again"
                                       : "the facade lacks " + named);
    return -1;
  });
}

void tarnel_call_context::record_exception(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const RkException& e) {
    fail(tarnel_reason::helper_failed, quote(e.what()));
  } catch (const std::exception& e) {
    bad_reply(quote(e.what()));
  } catch (...) {
    bad_reply("unexpected exception");
  }
}
