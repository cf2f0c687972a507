#!/usr/bin/env python3
"""Tests of the reference drive helper (tools/rkspmhelper/rkspmhelper.py).

Each test puts a stand-in lsblk first on PATH that prints a prepared JSON
document (or fails), runs the helper as the library does, and checks its
output lines against the helper output format: id|device|mount|slot|health|.
"""

import json
import os
import stat
import subprocess
import sys
import tempfile
import unittest

HELPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                      "rkspmhelper", "rkspmhelper.py")


def disk(name, **fields):
    entry = {"name": name, "type": "disk", "serial": None, "wwn": None, "hctl": None,
             "state": None, "mountpoint": None}
    entry.update(fields)
    return entry


def part(name, mountpoint):
    return {"name": name, "type": "part", "serial": None, "wwn": None, "hctl": None,
            "state": None, "mountpoint": mountpoint}


class HelperTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def fake_lsblk(self, document=None, status=0, stderr=""):
        path = os.path.join(self.dir.name, "lsblk")
        data = os.path.join(self.dir.name, "lsblk.json")
        with open(data, "w", encoding="utf-8") as out:
            out.write(document if isinstance(document, str) else json.dumps(document or {}))
        with open(path, "w", encoding="utf-8") as out:
            out.write("#!/bin/sh\n")
            out.write(f'printf "%s" "$*" > "{self.dir.name}/args"\n')
            out.write(f'cat "{data}"\n')
            if stderr:
                out.write(f'echo "{stderr}" >&2\n')
            out.write(f"exit {status}\n")
        os.chmod(path, stat.S_IRWXU)

    def run_helper(self, *args):
        env = dict(os.environ)
        env["PATH"] = self.dir.name + os.pathsep + env.get("PATH", "")
        return subprocess.run([sys.executable, HELPER, *args], env=env, capture_output=True,
                              text=True, timeout=60, check=False)

    def test_lists_data_disks_in_the_helper_format(self):
        self.fake_lsblk({"blockdevices": [
            disk("sda", serial="SYS1", children=[part("sda1", "/boot"), part("sda2", "/")]),
            disk("sdb", serial="WD-123", hctl="2:0:1:0", state="running", mountpoint="/mnt/d1"),
            disk("sdc", wwn="0x5000c500", hctl="2:0:2:0", state="offline",
                 children=[part("sdc1", "/data/two")]),
            disk("nvme0n1"),
            disk("zram0", mountpoint="[SWAP]"),
            disk("loop0"),
            {"name": "sr0", "type": "rom", "mountpoint": None},
        ]})
        result = self.run_helper("list_data_drives")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout,
                         "WD-123|sdb|/mnt/d1|2:0:1:0|1|\n"
                         "0x5000c500|sdc|/data/two|2:0:2:0|0|\n"
                         "nvme0n1|nvme0n1|||1|\n")
        with open(os.path.join(self.dir.name, "args"), encoding="utf-8") as args:
            self.assertIn("--json", args.read())

    def test_every_line_has_six_fields(self):
        self.fake_lsblk({"blockdevices": [
            disk("sdd", serial="odd|serial", mountpoint="/mnt/with|bar"),
            disk("sde", serial="line\nbreak", mountpoint="/mnt/with space "),
        ]})
        result = self.run_helper("list_data_drives")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.split("\n")
        self.assertEqual(lines[-1], "")
        for line in lines[:-1]:
            self.assertEqual(len(line.split("|")), 6, line)
        self.assertEqual(lines[0], "odd_serial|sdd|/mnt/with_bar||1|")
        self.assertEqual(lines[1], "line_break|sde|/mnt/with space ||1|")

    def test_no_data_drives_prints_nothing(self):
        self.fake_lsblk({"blockdevices": [disk("vda", mountpoint="/")]})
        result = self.run_helper("list_data_drives")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "")

    def test_lsblk_failure_is_a_non_zero_status_with_a_message(self):
        self.fake_lsblk({}, status=32, stderr="lsblk: broken")
        result = self.run_helper("list_data_drives")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertIn("lsblk: broken", result.stderr)

    def test_unreadable_lsblk_output_is_a_failure(self):
        self.fake_lsblk("{not json")
        result = self.run_helper("list_data_drives")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertIn("unexpected lsblk output", result.stderr)

    def test_usage_errors(self):
        self.fake_lsblk({"blockdevices": []})
        for args in ([], ["list_drives"], ["list_data_drives", "extra"]):
            result = self.run_helper(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertEqual(result.stdout, "")
            self.assertIn("usage", result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
