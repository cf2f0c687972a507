#!/usr/bin/python
# tarnel.node.tarnel_vdisk: a virtual disk present, or present and exported
# to this node, through `tarnelctl create NAME --exist-ok` and `tarnelctl
# export NAME`.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: tarnel_vdisk
short_description: Make sure a virtual disk exists on the cluster, and optionally that it is exported to this node
version_added: 1.2.0
description:
  - Creates the virtual disk I(name) on the cluster of the managed node, sized by the cluster from its
    capacity, unless the cluster already has a disk of that name (C(tarnelctl create NAME --exist-ok)).
  - With I(state=exported) it then exports (mounts) the disk to the managed node (C(tarnelctl export NAME)).
  - The node's own credentials from the key store are used; see M(tarnel.node.tarnel_keystore).
  - C(changed) comes from the create only. The cluster cannot tell a first export from a repeated one,
    so an export never reports a change.
  - A create whose reply was lost and whose retry found the disk (reason C(may_exist)) counts as done and
    changed, since the lost attempt may have created it.
options:
  name:
    description:
      - The virtual disk's name.
    type: str
    required: true
  state:
    description:
      - C(present) creates the disk if absent; C(exported) also exports it to this node.
    type: str
    choices: [present, exported]
    default: present
extends_documentation_fragment:
  - tarnel.node.tarnelctl
  - tarnel.node.tarnelctl.cluster
notes:
  - Supports check mode. It then contacts no cluster, creates and exports nothing, and reports
    C(changed) with the message "would create NAME if absent", because no request of the cluster
    lists its disks.
  - A failure's message carries tarnelctl's error, the reason word (for example C(login_refused)),
    the HTTP status and the cluster's error code.
author:
  - libtarnel authors
"""

EXAMPLES = r"""
- name: A backup disk, exported to this node
  tarnel.node.tarnel_vdisk:
    name: vd-backup-01
    state: exported

- name: The disk only, giving up after two minutes
  tarnel.node.tarnel_vdisk:
    name: vd-archive
    retries: 3
    timeout: 120

- name: Every module of the collection with the same key store
  module_defaults:
    group/tarnel.node.tarnelctl:
      keystore: /etc/tarnel/keystore.conf
  block:
    - tarnel.node.tarnel_vdisk:
        name: vd-scratch
"""

RETURN = r"""
msg:
  description: What was done.
  returned: always
  type: str
  sample: created vd-backup-01; exported it to node7
create:
  description:
    - tarnelctl's JSON object of the create (not in check mode).
    - C(reason), C(http_status), C(cluster_error), C(attempts) and C(login_attempts) tell how the call
      ended; C(size_gb) is the size asked for.
  returned: when the create ran
  type: dict
  sample: {"command": "create", "ok": true, "changed": true, "name": "vd-backup-01", "reason": "ok",
           "http_status": 200, "cluster_error": "", "attempts": 1, "login_attempts": 1, "size_gb": 58.64}
export:
  description: tarnelctl's JSON object of the export, with the C(target) host.
  returned: when the export ran
  type: dict
  sample: {"command": "export", "ok": true, "changed": false, "name": "vd-backup-01", "target": "node7",
           "reason": "ok", "http_status": 200, "cluster_error": "", "attempts": 1, "login_attempts": 1}
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tarnel.node.plugins.module_utils.tarnelctl import (
    CLUSTER_ARGS,
    COMMON_ARGS,
    Tarnelctl,
    failure,
    succeeded,
)


def main():
    argument_spec = dict(
        name=dict(type="str", required=True),
        state=dict(type="str", default="present", choices=["present", "exported"]),
    )
    argument_spec.update(COMMON_ARGS)
    argument_spec.update(CLUSTER_ARGS)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    name = module.params["name"]
    export = module.params["state"] == "exported"
    ctl = Tarnelctl(module)

    if module.check_mode:
        msg = "would create %s if absent" % name
        module.exit_json(changed=True, msg=msg + ("; would export it" if export else ""))

    rc, create = ctl.run(["create", name, "--exist-ok"])
    if not succeeded(rc, create):
        module.fail_json(msg=failure("create " + name, rc, create), create=create)
    changed = create.get("changed") is not False
    if not changed:
        msg = "%s already exists" % name
    elif create.get("reason") == "may_exist":
        msg = "%s exists; the attempt whose reply was lost may have created it" % name
    else:
        msg = "created %s" % name
    if not export:
        module.exit_json(changed=changed, msg=msg, create=create)

    rc, exported = ctl.run(["export", name])
    if not succeeded(rc, exported):
        module.fail_json(msg=failure("export " + name, rc, exported), changed=changed, create=create,
                         export=exported)
    msg += "; exported it to %s" % exported.get("target")
    module.exit_json(changed=changed, msg=msg, create=create, export=exported)


if __name__ == "__main__":
    main()
