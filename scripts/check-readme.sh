#!/usr/bin/env bash
# Runs the README's commands in the order the README gives them, in a fresh clone, and checks
# that each works as the README says. Each command run here must stand verbatim in README.md,
# so the two cannot drift apart.
#   scripts/check-readme.sh          clone this checkout's HEAD into a temporary folder, run there
#   scripts/check-readme.sh --here   run in this checkout (CI: its clone is fresh)
# Not run here: scripts/test.sh and the CI steps (.ci/run runs them next), the real-disk command
# (it would open this computer's own disks, as root) and the Windows build (.ci/run's own step).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" != "--here" ]; then
    work="$(mktemp -d)"
    trap 'rm -rf "$work"' EXIT
    git clone --quiet . "$work/clone"
    (cd "$work/clone" && scripts/check-readme.sh --here)
    exit
fi

readme=README.md
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
failures=0
step() { echo "check-readme: $*"; }
fail() {
    echo "check-readme: FAILED: $*" >&2
    failures=$((failures + 1))
}
# The command must be in the README as written.
in_readme() {
    grep -qF -- "$1" "$readme" || fail "the README no longer shows: $1"
}
# Runs a README command (as the README shows it, run as `run`), with its output in $out/last.
check() {
    local shown="$1" run="$2" expect_code="$3"
    in_readme "$shown"
    step "$shown"
    local code=0
    bash -c "$run" >"$out/last" 2>&1 || code=$?
    if [ "$code" != "$expect_code" ]; then
        fail "$shown: exit code $code, not $expect_code"
        tail -n 20 "$out/last" >&2
    fi
}
expect_line() {
    grep -qF -- "$2" "$out/last" || { fail "$1: the output lacks: $2"; tail -n 20 "$out/last" >&2; }
}
# scripts/run.sh in a pseudo-terminal: Esc once the dialog shows the package's title.
run_in_terminal() {
    local shown="$1" log="$out/terminal.log"
    in_readme "$shown"
    step "$shown (in a pseudo-terminal, Esc once the dialog is drawn)"
    rm -f "$log"
    local code=0
    (
        for _ in $(seq 1 3000); do
            grep -q "FW update tool" "$log" 2>/dev/null && break
            sleep 0.2
        done
        printf '\033'
        sleep 2
    ) | TERM=xterm script -qefc "$shown" "$log" >/dev/null 2>&1 || code=$?
    grep -q "FW update tool" "$log" || fail "$shown: the dialog never showed the package's title"
    [ "$code" = 0 ] || fail "$shown: exit code $code"
    cp "$log" "$out/last"
}

sim=build/dev/tools/zxsim/zxsim
state="$out/S"

run_in_terminal "scripts/run.sh"
expect_line "scripts/run.sh" "run.sh: building zxflash, zxsim, zxpkg and the demo packages"
run_in_terminal "scripts/run.sh /debug"
expect_line "scripts/run.sh /debug" "zxflash: Debug log in"

check "build/dev/tools/zxsim/zxsim run" "$sim run" 0
expect_line "zxsim run" 'title: "FW update tool"'
check "zxsim run --select 1 --answer no" "$sim run --select 1 --answer no" 0
expect_line "zxsim run --select 1 --answer no" "answer No"
check "zxsim run --state S --select 1 --answer yes --answer cancel" \
    "$sim run --state $state --select 1 --answer yes --answer cancel" 0
expect_line "zxsim run --state S ..." "Update FW OK !"
check "zxsim scan --state S" "$sim scan --state $state" 0
expect_line "zxsim scan --state S" '"FirmwareRev":"041k020D"'
check "zxsim run --help" "$sim run --help" 0
expect_line "zxsim run --help" "usage: zxsim run"

check "build/dev/tools/zxsim/zxsim scan --sata" "$sim scan --sata" 0
expect_line "zxsim scan --sata" '{"count":4}'
sata=build/dev/resources/sata-demo-package/sata-demo-package.zip
check "build/dev/tools/zxsim/zxsim run --package $sata" "$sim run --package $sata" 0
expect_line "zxsim run --package ..." "entry 0:"
check "--select N --answer yes --state FILE" \
    "$sim run --package $sata --select 0 --answer yes --state $out/F" 0
expect_line "zxsim run --package ... --select 0 --answer yes --state F" "Update FW OK !"
check "a later run with the same \`--state FILE\` shows its new firmware" \
    "$sim run --package $sata --state $out/F" 0
expect_line "the later run" 'firmware: "051s0108"'

check "zxpkg check package.zip" \
    "build/dev/tools/zxpkg/zxpkg check build/dev/resources/demo-package/demo-package.zip" 0
expect_line "zxpkg check" "result: sound"

check "ZX_SIM_STATE=/tmp/pc.json build/dev/host/posix/zxflash /silent /report /tmp/R.json" \
    "ZX_SIM_STATE=$out/pc.json build/dev/host/posix/zxflash /silent /report $out/R.json" 204
expect_line "zxflash /silent" "zxflash: exit code 3020"
grep -qF '"pending-replug"' "$out/R.json" ||
    fail "zxflash /silent: the report does not name the Realtek disk's pending-replug"

in_readme "scripts/test.sh"
step "scripts/test.sh: the next step of .ci/run"

if [ "$failures" != 0 ]; then
    echo "check-readme: $failures of the README's commands did not work as it says" >&2
    exit 1
fi
step "every README command worked as the README says"
