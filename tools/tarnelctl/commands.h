// The commands of tarnelctl. Each reports its outcome through `out` and
// returns the process exit code (exit_codes.h).
#pragma once

#include "options.h"
#include "output.h"

namespace tarnelctl {

int run_capacity(const Invocation& inv, Output& out);
int run_create(const Invocation& inv, Output& out);
int run_export(const Invocation& inv, Output& out);
int run_drives(const Invocation& inv, Output& out);
int run_login(const Invocation& inv, Output& out);
int run_doctor(const Invocation& inv, Output& out);
int run_keystore_set_cluster(const Invocation& inv, Output& out);
int run_keystore_set_serial(const Invocation& inv, Output& out);
int run_keystore_set_password(const Invocation& inv, Output& out);
int run_keystore_show(const Invocation& inv, Output& out);

}  // namespace tarnelctl
