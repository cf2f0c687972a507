#!/usr/bin/env python3
"""Reference drive helper: lists this machine's data drives for libtarnel.

Usage: rkspmhelper.py list_data_drives

Prints one line per data drive, in the format the library parses:

    id|device|mount point|slot|health|

  id           the drive's serial number, else its WWN, else its device name
  device       the block device name relative to /dev (sdb, nvme0n1)
  mount point  where the drive or its first mounted partition is mounted, or empty
  slot         the SCSI address host:channel:target:lun, or empty when it has none
  health       1 when the kernel reports the device usable, 0 when it is offline

A data drive is a whole disk (lsblk type "disk") that is not a RAM, zram or
loop device and holds neither the root file system, /boot nor swap: those
belong to the system. No field contains "|" or a line break (either is
replaced by "_"). The list ends with the output. On failure nothing is
printed on stdout, a message goes to stderr, and the exit status is 1; a
usage error exits with 2.

The lsblk program is found on PATH.
"""

import json
import subprocess
import sys

LSBLK_COLUMNS = "NAME,TYPE,SERIAL,WWN,HCTL,STATE,MOUNTPOINT"
# Device name prefixes of virtual disks that never hold data.
VIRTUAL_PREFIXES = ("zram", "ram", "loop")
# Mount points that make a disk a system disk.
SYSTEM_MOUNTS = {"/", "/boot", "/boot/efi", "[SWAP]"}
# Kernel device states of an unusable device.
UNHEALTHY_STATES = {"offline", "blocked", "dead", "transport-offline"}


def clean(text):
    """A field value as text, without separators or line breaks."""
    if text is None:
        return ""
    return str(text).replace("|", "_").replace("\n", "_").replace("\r", "_")


def mounts(device):
    """Every mount point of the device and of its children, depth first."""
    found = []
    if device.get("mountpoint"):
        found.append(device["mountpoint"])
    for child in device.get("children") or []:
        found.extend(mounts(child))
    return found


def is_data_drive(device):
    if device.get("type") != "disk":
        return False
    name = device.get("name") or ""
    if not name or name.startswith(VIRTUAL_PREFIXES):
        return False
    return not any(m in SYSTEM_MOUNTS for m in mounts(device))


def drive_line(device):
    name = device["name"]
    ident = device.get("serial") or device.get("wwn") or name
    mounted = mounts(device)
    state = (device.get("state") or "").strip().lower()
    health = 0 if state in UNHEALTHY_STATES else 1
    fields = [ident, name, mounted[0] if mounted else "", device.get("hctl") or "", str(health)]
    return "|".join(clean(f) for f in fields) + "|"


def list_data_drives():
    try:
        run = subprocess.run(
            ["lsblk", "--json", "--output", LSBLK_COLUMNS],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            check=False,
        )
    except OSError as error:
        print(f"rkspmhelper: cannot run lsblk: {error}", file=sys.stderr)
        return 1
    if run.returncode != 0:
        message = run.stderr.decode("utf-8", "replace").strip()
        print(f"rkspmhelper: lsblk failed with status {run.returncode}: {message}", file=sys.stderr)
        return 1
    try:
        devices = json.loads(run.stdout.decode("utf-8", "replace"))["blockdevices"]
        lines = [drive_line(d) for d in devices if is_data_drive(d)]
    except (ValueError, KeyError, TypeError, AttributeError) as error:
        print(f"rkspmhelper: unexpected lsblk output: {error!r}", file=sys.stderr)
        return 1
    sys.stdout.write("".join(line + "\n" for line in lines))
    return 0


def main(argv):
    if len(argv) != 2 or argv[1] != "list_data_drives":
        print("usage: rkspmhelper.py list_data_drives", file=sys.stderr)
        return 2
    return list_data_drives()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
