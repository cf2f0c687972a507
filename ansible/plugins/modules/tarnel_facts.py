#!/usr/bin/python
# tarnel.node.tarnel_facts: the cluster's capacity, the node's data drives
# and `tarnelctl doctor`'s checks as the fact `tarnel`.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: tarnel_facts
short_description: Gather the cluster's capacity, the node's data drives and the node's readiness
version_added: 1.2.0
description:
  - Runs C(tarnelctl --json) C(capacity), C(drives) and C(doctor) on the managed node and returns what
    they found as the fact C(tarnel).
  - A part that fails does not fail the module; its message goes to C(tarnel.errors) and its fact is
    null. A doctor that finds a node not ready is a result, not a failure.
  - Reads only; C(changed) is always false.
options:
  gather:
    description:
      - The parts to gather.
      - C(drives) runs the node's drive helper at its fixed path; C(doctor) logs in once with the node's
        credentials.
    type: list
    elements: str
    choices: [capacity, drives, doctor]
    default: [capacity, drives, doctor]
extends_documentation_fragment:
  - tarnel.node.tarnelctl
  - tarnel.node.tarnelctl.cluster
notes:
  - Supports check mode, in which it gathers as usual, since it changes nothing.
author:
  - libtarnel authors
"""

EXAMPLES = r"""
- name: Facts of the node
  tarnel.node.tarnel_facts:

- name: Stop where a node is not ready
  ansible.builtin.assert:
    that: ansible_facts.tarnel.doctor.ready
    fail_msg: "{{ ansible_facts.tarnel.doctor.checks | selectattr('status', 'equalto', 'FAIL') | list }}"

- name: Only the capacity, giving up after 30 s
  tarnel.node.tarnel_facts:
    gather: [capacity]
    timeout: 30
"""

RETURN = r"""
ansible_facts:
  description: The fact C(tarnel).
  returned: always
  type: complex
  contains:
    tarnel:
      description: What was gathered; a part not asked for is left out.
      returned: always
      type: complex
      contains:
        capacity:
          description: The cluster's total capacity, C(value) in C(units), and in C(gigabytes); null when
            it could not be read.
          type: dict
          returned: when asked for
          sample: {"value": 12.5, "units": "TB", "gigabytes": 12800}
        drives:
          description: The node's data drives as the drive helper lists them, each with C(spid) (its
            id), C(blk) (the device), C(mnt) (its mount point), C(slot) and C(healthy) (1 or 0); null
            when the helper failed.
          type: list
          elements: dict
          returned: when asked for
          sample: [{"spid": "ZA1B2C3", "blk": "sdb", "mnt": "/srv/data1", "slot": "0:0:1:0", "healthy": 1}]
        doctor:
          description:
            - C(tarnelctl doctor)'s checks, each with C(name), C(status) (ok, warn, FAIL or skipped),
              C(detail) and C(fix); C(ready) is true when no check failed, and C(exit_code) is
              doctor's (that of the first failure's kind).
            - null when doctor could not run.
          type: dict
          returned: when asked for
          sample: {"ready": true, "exit_code": 0, "checks": [{"name": "key store", "status": "ok",
                   "detail": "/etc/tarnel/keystore.conf", "fix": ""}]}
        errors:
          description: The message of each part that failed, by part (the reason word, HTTP status and
            cluster error included).
          type: dict
          returned: always
          sample: {"drives": "drives failed: the drive helper is missing (reason helper_failed, exit 1)"}
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tarnel.node.plugins.module_utils.tarnelctl import (
    CLUSTER_ARGS,
    COMMON_ARGS,
    Tarnelctl,
    failure,
    succeeded,
)

PARTS = ["capacity", "drives", "doctor"]


def main():
    argument_spec = dict(gather=dict(type="list", elements="str", choices=PARTS, default=PARTS))
    argument_spec.update(COMMON_ARGS)
    argument_spec.update(CLUSTER_ARGS)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    ctl = Tarnelctl(module)
    facts = dict(errors={})
    for part in PARTS:
        if part not in module.params["gather"]:
            continue
        rc, reply = ctl.run([part])
        if part == "doctor" and isinstance(reply.get("checks"), list):
            facts[part] = dict(ready=rc == 0, exit_code=rc, checks=reply["checks"])
        elif not succeeded(rc, reply):
            facts[part] = None
            facts["errors"][part] = failure(part, rc, reply)
        elif part == "capacity":
            facts[part] = dict((k, reply.get(k)) for k in ("value", "units", "gigabytes"))
        else:
            facts[part] = reply.get("drives")
    module.exit_json(changed=False, ansible_facts=dict(tarnel=facts))


if __name__ == "__main__":
    main()
