#include "exchange_reason.h"

tarnel_reason exchange_reason(const exchange_end& end, bool create_lost) {
  switch (end.transport) {
    case RK_TRANSPORT_DONE:
      break;
    case RK_TRANSPORT_CANCELLED:
      return tarnel_reason::cancelled;
    case RK_TRANSPORT_TIMED_OUT:
      return tarnel_reason::timed_out;
    case RK_TRANSPORT_TOO_LARGE:
      return tarnel_reason::bad_reply;
    default:
      return tarnel_reason::unreachable;
  }
  const long status = end.status;
  const bool login = end.kind == tarnel_exchange_kind::login;
  if (status == 408 || status == 429 || status == 500 || (status >= 502 && status <= 504)) {
    return tarnel_reason::cluster_error;
  }
  if (login) return tarnel_reason::login_refused;
  if (status == 401) return tarnel_reason::session_refused;
  const bool add_disk = end.kind == tarnel_exchange_kind::add_disk;
  return status == 409 && add_disk && create_lost ? tarnel_reason::may_exist
                                                  : tarnel_reason::refused;
}

bool create_reply_lost(const exchange_end& end) {
  return end.kind == tarnel_exchange_kind::add_disk && end.request_sent &&
         (end.transport == RK_TRANSPORT_LOST || end.transport == RK_TRANSPORT_TIMED_OUT ||
          end.transport == RK_TRANSPORT_TOO_LARGE);
}

const char* exchange_detail(tarnel_reason reason) {
  if (reason == tarnel_reason::bad_reply) return "the reply was too large";
  if (reason == tarnel_reason::may_exist) {
    return "an earlier attempt's reply was lost and a retry found the disk existing";
  }
  return "";
}
