# Options that every module of tarnel.node shares (DOCUMENTATION) and those
# of the modules that call the cluster (CLUSTER).


class ModuleDocFragment(object):
    DOCUMENTATION = r"""
options:
  tarnelctl:
    description:
      - The tarnelctl program the module runs, a name looked up on C(PATH) or a path.
    type: str
    default: tarnelctl
  keystore:
    description:
      - The key store tarnelctl reads and writes (its C(--keystore) option).
      - When not given, tarnelctl's default applies, C(TARNEL_KEYSTORE) from the task's environment,
        else C(/etc/tarnel/keystore.conf).
    type: path
notes:
  - The module runs C(tarnelctl --json) on the managed node as an argument list, never through a
    shell, and passes secrets on standard input only.
  - The library's other settings come from the key store or from the task's C(environment), for
    example C(TARNEL_LOG_DIR).
  - C(module_defaults) can set I(tarnelctl) and I(keystore) for all the modules of the collection at
    once through the group C(group/tarnel.node.tarnelctl).
requirements:
  - tarnelctl 1.2.0 or later on the managed node
"""

    CLUSTER = r"""
options:
  retries:
    description:
      - Attempts of each retry loop, the login's and the command's, from 1 to 100 (tarnelctl's
        C(--retries)); tarnelctl's default is 5.
      - tarnelctl retries only what a retry can mend, such as transport failures, time-outs and
        HTTP 408, 429, 500 and 502-504.
    type: int
  timeout:
    description:
      - Seconds after which a command that has not ended gives up, retries and pauses included
        (tarnelctl's C(--timeout)).
    type: float
"""
