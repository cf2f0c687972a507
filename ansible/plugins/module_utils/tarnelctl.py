# The runner that the modules of tarnel.node share: `tarnelctl --json` run
# through the module's own command runner (an argument list, never a shell),
# with secrets only on standard input, and its one JSON object read back.
#
# tarnelctl's JSON object always has "ok" and "changed"; a failure adds
# "exit_code" and "error" (a usage error: "message"), and, where a library
# call ran, "reason", "http_status" and "cluster_error".

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

# The options of doc_fragments/tarnelctl.py: DOCUMENTATION and CLUSTER.
COMMON_ARGS = dict(
    tarnelctl=dict(type="str", default="tarnelctl"),
    keystore=dict(type="path"),
)
CLUSTER_ARGS = dict(
    retries=dict(type="int"),
    timeout=dict(type="float"),
)


class Tarnelctl(object):
    """tarnelctl for one module run; fails the module when it cannot be found."""

    def __init__(self, module):
        self.module = module
        self.path = module.get_bin_path(module.params["tarnelctl"], required=True)

    def run(self, args, stdin=None):
        """(exit code, reply) of `tarnelctl --json [options] ARGS`. `stdin` (a
        line, e.g. a password) is written to its standard input. Output that
        is no JSON object becomes a failure reply naming what was printed."""
        params = self.module.params
        argv = [self.path, "--json"]
        if params.get("keystore"):
            argv += ["--keystore", params["keystore"]]
        if params.get("retries") is not None:
            argv += ["--retries", str(params["retries"])]
        if params.get("timeout") is not None:
            argv += ["--timeout", str(params["timeout"])]
        rc, out, err = self.module.run_command(argv + args, data=stdin, check_rc=False)
        try:
            reply = json.loads(out)
        except ValueError:
            reply = None
        if not isinstance(reply, dict):
            printed = " ".join((err.strip() or out.strip() or "nothing").split())
            reply = {"ok": False, "changed": False, "error": "no JSON object from tarnelctl: " + printed}
        return rc, reply


def succeeded(rc, reply):
    return rc == 0 and reply.get("ok") is True


def failure(what, rc, reply):
    """The message of a failed command: what was asked, tarnelctl's error
    (with what the configuration lacks), then the reason word, the HTTP
    status and the cluster's error where a library call ran, and the exit
    code, e.g. "create vd1 failed: login refused (reason login_refused,
    HTTP 401, cluster error AuthenticationFailed, exit 4)"."""
    text = "%s failed: %s" % (what, reply.get("error") or reply.get("message") or "no message")
    for item in reply.get("missing") or []:
        text += "; " + str(item.get("message"))
    details = []
    if reply.get("reason"):
        details.append("reason " + str(reply["reason"]))
    if reply.get("http_status"):
        details.append("HTTP %s" % reply["http_status"])
    if reply.get("cluster_error"):
        details.append("cluster error " + str(reply["cluster_error"]))
    details.append("exit %d" % rc)
    return "%s (%s)" % (text, ", ".join(details))
