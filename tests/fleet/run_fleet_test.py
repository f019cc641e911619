#!/usr/bin/env python3
"""The fleet test: Ansible rolls the firmware out to simulated PCs with examples/ansible/.

run_fleet_test.py SOURCE_DIR BUILD_DIR WORK_DIR PHASE

PHASE
  rollout    the 24 PCs of inventory.ini, batches of 6, 8 forks: each PC's outcome in its
             fetched reports and the summary against expected-rollout.json; the operator then
             replugs or powers off what was flagged, and a second run changes nothing.
  threshold  the 12 PCs of inventory-bad-image.ini: the first batch fails whole and the rollout
             stops there; the PCs of the later batches are never touched.
  busy       one PC on which someone runs zxflash by hand: the rollout's zxflash exits 1618 and
             is tried again, and the PC is updated once the other instance has ended.

Everything runs on this machine (the local connection); nothing reaches the network.
"""
import json
import os
import pty
import select
import shutil
import subprocess
import sys
import time

import jsonschema

SOURCE, BUILD, WORK, PHASE = sys.argv[1:5]
EXAMPLES = os.path.join(SOURCE, "examples", "ansible")
HERE = os.path.dirname(os.path.abspath(__file__))
ZXFLASH = os.path.join(BUILD, "host", "posix", "zxflash")
ZXSIM = os.path.join(BUILD, "tools", "zxsim", "zxsim")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)


def ansible_env():
    env = dict(os.environ)
    env.update({
        "ANSIBLE_CONFIG": os.path.join(EXAMPLES, "ansible.cfg"),
        "ANSIBLE_HOME": os.path.join(WORK, "ansible-home"),
        "ANSIBLE_LOCAL_TEMP": os.path.join(WORK, "ansible-tmp"),
        "ANSIBLE_REMOTE_TMP": os.path.join(WORK, "ansible-tmp"),
        "ANSIBLE_NOCOLOR": "1",
        "ANSIBLE_FORCE_COLOR": "0",
        "ANSIBLE_INVENTORY_UNPARSED_FAILED": "1",
    })
    return env


def playbook_args(inventory, playbook, fleet, *extra):
    return ["ansible-playbook", "-i", os.path.join(EXAMPLES, inventory),
            os.path.join(EXAMPLES, playbook),
            "-e", "zxflash_fleet_dir=" + fleet,
            "-e", "zxflash_program=" + ZXFLASH,
            "-e", "zxsim_program=" + ZXSIM,
            "-e", "zxsim_speed=200",
            "-e", "zxflash_busy_delay=1"] + list(extra)


def playbook(inventory, playbook_name, fleet, *extra):
    """Runs a playbook; returns its exit status, output and wall time."""
    start = time.monotonic()
    run = subprocess.run(playbook_args(inventory, playbook_name, fleet, *extra),
                         env=ansible_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True)
    seconds = time.monotonic() - start
    log = os.path.join(WORK, "%s-%s.log" % (os.path.basename(fleet), playbook_name))
    with open(log, "a") as f:
        f.write(run.stdout)
    print("%s on %s: exit %d in %.1f s (output in %s)" % (playbook_name, inventory, run.returncode,
                                                          seconds, log), flush=True)
    return run.returncode, run.stdout, seconds


def load(path):
    with open(path) as f:
        return json.load(f)


def schema_check(report, where):
    schema = load(os.path.join(SOURCE, "docs", "fleet-report.schema.json"))
    try:
        jsonschema.validate(report, schema)
    except jsonschema.ValidationError as e:
        check(False, "%s does not validate: %s" % (where, e.message))


def report_view(report):
    """What a report says of a PC: its exit code and each disk's outcome by serial number."""
    return {"exit_code": report["exit_code"],
            "disks": {d["serial"].strip(): d["outcome"] for d in report["disks"]}}


def compare_pc(fleet, host, expected, run_name):
    """Compares the reports fetched for host with what its scenario calls for."""
    collected = os.path.join(fleet, "collected", host)
    for step in ("check", "update"):
        path = os.path.join(collected, step + ".json")
        want = expected.get(step)
        if want is None:
            check(not os.path.exists(path), "%s %s: no %s report expected, one was fetched"
                  % (run_name, host, step))
            continue
        if not os.path.exists(path):
            check(False, "%s %s: the %s report was not fetched" % (run_name, host, step))
            continue
        report = load(path)
        schema_check(report, "%s %s %s.json" % (run_name, host, step))
        got = report_view(report)
        check(got == want, "%s %s %s: expected %s, got %s" % (run_name, host, step,
                                                            json.dumps(want), json.dumps(got)))


def states(fleet, hosts):
    result = {}
    for host in hosts:
        path = os.path.join(fleet, host, "drives.state")
        result[host] = open(path, "rb").read() if os.path.exists(path) else None
    return result


def fresh(name):
    path = os.path.join(WORK, name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def phase_rollout():
    expected = load(os.path.join(HERE, "expected-rollout.json"))
    fleet = fresh("fleet")
    rc, _, _ = playbook("inventory.ini", "simulated-fleet.yml", fleet)
    check(rc == 0, "simulated-fleet.yml exits %d" % rc)

    # First run: two PCs fail (a refused piece, an enclosure that never came back), one in
    # each of two batches, under the threshold: the rollout goes through all four batches and
    # ansible-playbook exits 2 (some hosts failed).
    rc, out, seconds = playbook("inventory.ini", "rollout.yml", fleet)
    check(rc == 2, "first rollout exits %d, not 2 (hosts failed)" % rc)
    check(out.count("PLAY RECAP") == 1, "first rollout has one recap")
    for host, want in expected["first"].items():
        compare_pc(fleet, host, want, "first run")
    summary = load(os.path.join(fleet, "collected", "summary.json"))
    print("summary of the first run (%.1f s): %s" % (seconds, json.dumps(summary, indent=1)))
    check(summary["outcomes"] == expected["first_summary"],
          "first run summary: expected %s, got %s" % (json.dumps(expected["first_summary"]),
                                                     json.dumps(summary["outcomes"])))
    check(summary["pcs"] == "24" or summary["pcs"] == 24, "the summary counts %s PCs" % summary["pcs"])
    first_run = os.path.join(WORK, "first-run-collected")
    shutil.rmtree(first_run, ignore_errors=True)  # an earlier test run's copy
    shutil.copytree(os.path.join(fleet, "collected"), first_run)

    # The operator does what the flagged PCs asked for: each disk that waits for a replug of its
    # enclosure or a power-off is replugged (a power cycle of that drive).
    for host, disks in expected["operator_replugs"].items():
        scenario = expected["scenarios"][host]
        for disk in disks:
            args = [ZXSIM, "replug", disk, "--state", os.path.join(fleet, host, "drives.state")]
            if scenario:
                args += ["--scenario", os.path.join(SOURCE, scenario)]
            run = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            check(run.returncode == 0, "zxsim replug %s on %s: %s" % (disk, host, run.stdout))

    # Second run: nothing changes. Every PC that the first run left in a good state is skipped by
    # /check; the PC whose drive refuses a piece is tried again and fails the same way.
    hosts = sorted(expected["first"])
    before = states(fleet, hosts)
    rc, out, _ = playbook("inventory.ini", "rollout.yml", fleet)
    check(rc == 2, "second rollout exits %d, not 2" % rc)
    for host, want in expected["second"].items():
        compare_pc(fleet, host, want, "second run")
    after = states(fleet, hosts)
    for host in hosts:
        check(before[host] == after[host], "second run: the drives of %s changed" % host)
    summary = load(os.path.join(fleet, "collected", "summary.json"))
    check(summary["outcomes"] == expected["second_summary"],
          "second run summary: expected %s, got %s" % (json.dumps(expected["second_summary"]),
                                                      json.dumps(summary["outcomes"])))


def phase_threshold():
    fleet = fresh("fleet-bad-image")
    rc, out, _ = playbook("inventory-bad-image.ini", "rollout.yml", fleet)
    check(rc == 2, "rollout of the bad image exits %d, not 2" % rc)
    first_batch = ["pc%02d" % i for i in range(1, 7)]
    later = ["pc%02d" % i for i in range(7, 13)]
    for host in first_batch:
        compare_pc(fleet, host, {
            "check": {"exit_code": 1, "disks": {"S675NX0T123456": "not-admitted",
                                                "ZX5016A0000000000001": "update-due"}},
            "update": {"exit_code": 13, "disks": {"S675NX0T123456": "not-admitted",
                                                  "ZX5016A0000000000001": "failed"}}},
            "bad image")
    # The rollout stopped after the first batch: nothing ran on the later PCs.
    for host in later:
        check(not os.path.exists(os.path.join(fleet, host)),
              "bad image: %s was touched although the first batch failed" % host)
        check("[%s]" % host not in out, "bad image: ansible ran a task on %s" % host)
    summary = load(os.path.join(fleet, "collected", "summary.json"))
    check(summary["outcomes"] == {"failed": first_batch},
          "bad image summary: %s" % json.dumps(summary["outcomes"]))
    check(str(summary["pcs"]) == "6" and str(summary["of"]) == "12",
          "bad image summary counts %s of %s" % (summary["pcs"], summary["of"]))


def read_until(fd, needle, what):
    """Reads a pseudo-terminal until needle has come; the reading blocks on the terminal."""
    seen = b""
    while needle not in seen:
        ready, _, _ = select.select([fd], [], [])
        chunk = os.read(fd, 65536) if ready else b""
        if not chunk:
            raise RuntimeError("%s ended before %r came" % (what, needle))
        seen += chunk
    return seen


def phase_busy():
    fleet = fresh("fleet-busy")
    host = "pc02"
    scenario = os.path.join(EXAMPLES, "scenarios", "office-nvme.scenario")
    os.makedirs(os.path.join(fleet, host))
    state = os.path.join(fleet, host, "drives.state")
    # Someone runs zxflash by hand on pc02: the interactive program in a terminal, its dialog
    # drawn, holding the PC's one-instance lock until it is closed.
    env = dict(os.environ, ZX_SIM_SCENARIO=scenario, ZX_SIM_STATE=state, TERM="xterm",
               ZX_DEBUG_LOG=os.path.join(WORK, "busy-debug.log"))
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(ZXFLASH, [ZXFLASH], env)
    read_until(fd, b"RUN", "the interactive zxflash")
    # The rollout meets it: zxflash exits 1618 and Ansible tries again, one second apart.
    proc = subprocess.Popen(playbook_args("inventory.ini", "rollout.yml", fleet, "--limit", host),
                            env=ansible_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)
    out = ""
    for line in proc.stdout:
        out += line
        if "FAILED - RETRYING: [%s]" % host in line:
            break
    check("FAILED - RETRYING: [%s]: Ask zxflash whether the PC" % host in out,
          "busy: the check was not tried again: " + out[-2000:])
    # The user closes the program (Esc); the next try goes through.
    os.write(fd, b"\x1b")
    _, status = os.waitpid(pid, 0)
    check(os.waitstatus_to_exitcode(status) == 0, "the interactive zxflash exits %d" % status)
    out += proc.stdout.read()
    rc = proc.wait()
    check(rc == 0, "busy: the rollout exits %d: %s" % (rc, out[-3000:]))
    compare_pc(fleet, host, {
        "check": {"exit_code": 1, "disks": {"S675NX0T123456": "not-admitted",
                                            "ZX5016A0000000000001": "update-due"}},
        "update": {"exit_code": 0, "disks": {"S675NX0T123456": "not-admitted",
                                             "ZX5016A0000000000001": "active"}}}, "busy")


os.makedirs(WORK, exist_ok=True)
{"rollout": phase_rollout, "threshold": phase_threshold, "busy": phase_busy}[PHASE]()
if failures:
    print("%d check(s) failed" % len(failures))
    sys.exit(1)
print("fleet %s: every check passed" % PHASE)
