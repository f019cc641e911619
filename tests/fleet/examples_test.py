#!/usr/bin/python3
"""The fleet examples as the fleet tools run them, on a simulated PC: the command line of
examples/intune/install.cmd (which the Configuration Manager deployment type runs too) and the
/check of examples/intune/detect.ps1, through the POSIX zxflash; each report is validated against
docs/fleet-report.schema.json.

usage: examples_test.py ZXFLASH ZXSIM SOURCE_ROOT
"""
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

import jsonschema

zxflash, zxsim, root = sys.argv[1:4]
failures = []


def expect(what, got, want):
    if got != want:
        failures.append(f"{what}: got {got!r}, want {want!r}")


def install_arguments(program_data):
    """The switches install.cmd gives zxflash.exe, %ProgramData% as the test's folder."""
    text = open(os.path.join(root, "examples/intune/install.cmd"), encoding="utf-8").read()
    line = next(l for l in text.splitlines() if l.startswith('start "" /wait'))
    words = shlex.split(line.replace("\\", "/"))
    args = words[words.index("%DEST%/zxflash.exe") + 1:]
    return [a.replace("%ProgramData%", program_data) for a in args]


def detect_arguments():
    text = open(os.path.join(root, "examples/intune/detect.ps1"), encoding="utf-8").read()
    return shlex.split(re.search(r"-ArgumentList '([^']*)'", text).group(1))


with tempfile.TemporaryDirectory(prefix="zxexamples-") as folder:
    env = dict(os.environ, ZX_SIM_STATE=os.path.join(folder, "state.json"), ZX_SIM_SPEED="100",
               TMPDIR=folder)
    env.pop("ZX_SIM_SCENARIO", None)

    def run(program, args):
        return subprocess.run([program] + args, env=env, cwd=folder, capture_output=True,
                              text=True)

    schema = json.load(open(os.path.join(root, "docs/fleet-report.schema.json")))
    validator = jsonschema.Draft202012Validator(schema)
    os.makedirs(os.path.join(folder, "zxflash"))

    expect("detection before the install", run(zxflash, detect_arguments()).returncode, 1)
    check = run(zxflash, detect_arguments() + ["/report", "check.json"])
    expect("/check with a report", check.returncode, 1)
    install = run(zxflash, install_arguments(folder))
    # The Realtek enclosure's disk waits for a replug: 3020, of which POSIX keeps 204.
    expect("the install command", install.returncode, 204)
    expect("its full exit code", install.stderr, "zxflash: exit code 3020\n")
    expect("detection after the install", run(zxflash, detect_arguments()).returncode, 0)
    replug = run(zxsim, ["replug", "--state", env["ZX_SIM_STATE"], "usb-realtek"])
    expect("zxsim replug", replug.returncode, 0)
    expect("the install command again", run(zxflash, install_arguments(folder)).returncode, 0)

    report = json.load(open(os.path.join(folder, "zxflash", "report.json")))
    for name, doc in (("the install's report", report),
                      ("the check's report", json.load(open(os.path.join(folder, "check.json"))))):
        for error in validator.iter_errors(doc):
            failures.append(f"{name} does not fit the schema: {error.message}")
    expect("outcomes of the second install",
           sorted(d["outcome"] for d in report["disks"]),
           ["current"] * 5 + ["not-admitted"])
    # The validator itself refuses what the schema does not allow.
    report["disks"][0]["outcome"] = "done"
    expect("a report with an unknown outcome is refused", validator.is_valid(report), False)
    log = open(os.path.join(folder, "zxflash", "zxflash.log"), encoding="utf-8").read()
    expect("log runs", log.count(" ==== zxflash "), 2)

# docs/fleet.md quotes each example whole.
doc = open(os.path.join(root, "docs/fleet.md"), encoding="utf-8").read()
for example in ("examples/intune/install.cmd", "examples/intune/detect.ps1",
                "examples/configmgr/deployment-type.ps1"):
    text = open(os.path.join(root, example), encoding="utf-8").read().rstrip("\n")
    if text not in doc:
        failures.append(f"docs/fleet.md does not quote {example} whole")

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
