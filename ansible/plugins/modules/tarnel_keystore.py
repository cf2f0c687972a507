#!/usr/bin/python
# tarnel.node.tarnel_keystore: the node's key store (cluster name, serial
# number, encrypted cluster password) through `tarnelctl keystore`.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: tarnel_keystore
short_description: Provision the node's key store, the cluster name, the serial number and the cluster password
version_added: 1.2.0
description:
  - Writes the key store that the node's libtarnel reads, through C(tarnelctl keystore), and only the
    values that differ from what it holds (C(tarnelctl --json keystore show)).
  - The stored password is encrypted with the serial number and cannot be read back to compare,
    so I(update_password) says when to store it.
  - When the serial number changes and a password is stored, the password must be stored again under
    the new serial. The module then needs I(password), and fails before it writes anything when none
    is given.
options:
  cluster:
    description:
      - The name of the cluster the node belongs to. Left as it is when not given.
    type: str
  serial:
    description:
      - The node's serial number, the key the password is encrypted with. Left as it is when not given
        (libtarnel then falls back to the machine's DMI serial).
    type: str
  password:
    description:
      - The cluster password of the node's user. It goes to tarnelctl on standard input and is never
        logged.
    type: str
  update_password:
    description:
      - C(always) stores I(password) on every run, and so reports a change every time.
      - C(on_create) stores it only when the key store holds no password, or when the serial number
        changes.
    type: str
    choices: [always, on_create]
    default: always
extends_documentation_fragment:
  - tarnel.node.tarnelctl
notes:
  - Supports check mode; it then reads the key store and writes nothing.
  - A key store that does not exist yet is created, mode 0600.
author:
  - libtarnel authors
"""

EXAMPLES = r"""
- name: The node's key store, the password stored once
  tarnel.node.tarnel_keystore:
    cluster: prod-cluster
    serial: "{{ ansible_facts.product_serial }}"
    password: "{{ vault_tarnel_password }}"
    update_password: on_create

- name: A new password for every node
  tarnel.node.tarnel_keystore:
    password: "{{ vault_tarnel_new_password }}"
"""

RETURN = r"""
keystore:
  description: The key store's path.
  returned: always
  type: str
  sample: /etc/tarnel/keystore.conf
updated:
  description: What was written (in check mode, what would be), among C(cluster), C(serial) and C(password).
  returned: always
  type: list
  elements: str
  sample: [cluster, password]
"""

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tarnel.node.plugins.module_utils.tarnelctl import (
    COMMON_ARGS,
    Tarnelctl,
    failure,
    succeeded,
)

# The option, the key store key and the tarnelctl command of each value.
SETTINGS = (("cluster", "sTarnelCluster", "set-cluster"), ("serial", "sTarnelSerial", "set-serial"))
PASSWORD_KEY = "sTarnelCID"
# Where tarnelctl looks when neither --keystore nor TARNEL_KEYSTORE is given.
DEFAULT_KEYSTORE = "/etc/tarnel/keystore.conf"


def stored_settings(module, ctl):
    """The key store's path and {key: entry} (entry: key, value, redacted);
    no entries when the store does not exist yet."""
    path = module.params["keystore"] or os.environ.get("TARNEL_KEYSTORE") or DEFAULT_KEYSTORE
    rc, reply = ctl.run(["keystore", "show"])
    if succeeded(rc, reply):
        return reply.get("keystore", path), dict((k["key"], k) for k in reply.get("keys", []))
    if not os.path.lexists(path):
        return path, {}
    module.fail_json(msg=failure("keystore show", rc, reply))


def main():
    argument_spec = dict(
        cluster=dict(type="str"),
        serial=dict(type="str"),
        password=dict(type="str", no_log=True),
        update_password=dict(type="str", default="always", choices=["always", "on_create"],
                             no_log=False),
    )
    argument_spec.update(COMMON_ARGS)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    params = module.params
    ctl = Tarnelctl(module)
    path, stored = stored_settings(module, ctl)

    # (option, command, value) of every value that differs, in this order:
    # the password goes last, encrypted with the serial it will be read with.
    writes = []
    for option, key, command in SETTINGS:
        value = params[option]
        if value is not None and stored.get(key, {}).get("value") != value:
            writes.append((option, command, value))
    has_password = stored.get(PASSWORD_KEY, {}).get("redacted") is True
    serial_changes = any(option == "serial" for option, _, _ in writes)
    if serial_changes and has_password and params["password"] is None:
        old = stored.get("sTarnelSerial", {}).get("value") or "unset"
        module.fail_json(msg="the serial number changes (%s to %s): the stored cluster password is "
                             "encrypted with the serial and must be stored again, so password is "
                             "required; nothing was written" % (old, params["serial"]),
                         keystore=path, updated=[])
    if params["password"] is not None and (params["update_password"] == "always" or not has_password
                                           or serial_changes):
        writes.append(("password", "set-password", None))

    updated = [option for option, _, _ in writes]
    if module.check_mode or not writes:
        module.exit_json(changed=bool(writes), keystore=path, updated=updated)
    changed = False
    for option, command, value in writes:
        if value is None:
            rc, reply = ctl.run(["keystore", command], stdin=params["password"])
        else:
            rc, reply = ctl.run(["keystore", command, value])
        if not succeeded(rc, reply):
            done = updated[:updated.index(option)]
            module.fail_json(msg=failure("keystore " + command, rc, reply), changed=changed,
                             keystore=path, updated=done)
        changed = changed or reply.get("changed") is not False
    module.exit_json(changed=changed, keystore=path, updated=updated)


if __name__ == "__main__":
    main()
