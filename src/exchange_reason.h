// How an exchange with the cluster ended, read as the reason of a call
// (tarnel_call.h): pure functions of what the HTTP client reported.
#pragma once

#include "RKLibCurl.h"
#include "tarnel_call.h"

// Which request an exchange carries: the reading of a refusal depends on it.
enum class tarnel_exchange_kind : int { login, query, add_disk, mount };

// What the client reported of an exchange whose send failed.
struct exchange_end {
  tarnel_exchange_kind kind = tarnel_exchange_kind::query;
  RkTransportResult transport = RK_TRANSPORT_DONE;
  long status = 0;            // of the reply; 0 when none arrived
  bool request_sent = false;  // it went out: the cluster may have acted on it
};

// The reason of a failed send. `create_lost`: an AddVirtualDisk of the same
// call went out earlier and lost its reply (create_reply_lost), so a 409 now
// may be that request's own doing.
//   transport: cancelled, timed_out; a reply over the cap bad_reply; any
//     other failure unreachable;
//   a whole reply: cluster_error (408, 429, 500, 502-504); login_refused
//     (any other status to a login: a 409 to the login of a create is no
//     answer about the disk); session_refused (a disk request's 401);
//     may_exist (an AddVirtualDisk's 409 after a lost create); otherwise
//     refused: no retry changes any other status, a redirect or 101 included.
tarnel_reason exchange_reason(const exchange_end& end, bool create_lost);
// True for an AddVirtualDisk that went out and lost its reply.
bool create_reply_lost(const exchange_end& end);
// The detail that goes with a reason of exchange_reason, or "".
const char* exchange_detail(tarnel_reason reason);
