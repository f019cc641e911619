#!/bin/sh
# Runs check_includes.sh on two small trees made here: a clean one, which must pass silently, and
# one with one fault of each kind, which must fail naming each file, line and edge, in order.
#   checker_test.sh <scratch folder>
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
scratch="$1/layering_checker"
rm -rf "$scratch"
fail=0

put() { # put <file> <line>...: writes the lines into the file below the current tree
    file="$tree/$1"
    shift
    mkdir -p "$(dirname "$file")"
    printf '%s\n' "$@" >"$file"
}

run() { # run <expected exit code> <expected output>
    set +e
    out="$(sh "$here/check_includes.sh" "$tree" "$tree/table.txt" "$tree/out" 2>&1)"
    rc=$?
    set -e
    if [ "$rc" != "$1" ] || [ "$out" != "$2" ]; then
        echo "tree $tree: exit code $rc (want $1), output:"
        echo "$out"
        echo "want:"
        echo "$2"
        fail=1
    fi
}

table='# a comment line
base/
low/        base/h.h
mid/        low/ base/h.h
            base/only.h
mid/sub/    mid/
top/        mid/ mid/sub/
top/one.cpp low/x.h'

# --- a clean tree ---------------------------------------------------------------------------
tree="$scratch/clean"
put table.txt "$table"
put base/h.h '#pragma once'
put low/x.h '#pragma once' '#include "base/h.h"' '#include "low/y.h"'
put mid/a.cpp '#include "low/x.h"' '  #  include "base/only.h"' '#include <top/angle.h>' \
    '// #include "top/commented.h"' '#include "beside.h"'
put mid/sub/b.h '#include "mid/a.h"'
put top/c.cpp '#include "mid/sub/b.h"' '#include "mid/a.h"'
put top/one.cpp '#include "low/x.h"'
put tests/t.cpp '#include "top/c.h"'
put tools/u.cpp '#include "top/c.h"'
put build/gen.cpp '#include "top/c.h"'
put out/gen.cpp '#include "top/c.h"'
put .hidden/h.cpp '#include "top/c.h"'
run 0 ''

# --- one fault of each kind ------------------------------------------------------------------
tree="$scratch/faults"
put table.txt "$table"
put base/h.h '#pragma once'
put low/up.cpp '#include "base/h.h"' '' '#include "mid/a.h"'
put mid/a.cpp '#include "low/x.h"' '#include "top/c.h"' '#include "base/other.h"'
put mid/sub/b.h '#include "top/c.h"'
put mid/up.cpp '#include "mid/sub/b.h"'
put top/one.cpp '#include "low/x.h"' '#include "mid/a.h"'
put top/rel.cpp '#include "../low/x.h"'
put top/tests.cpp '#include "tests/t.h"'
put other/z.cpp '#include "low/x.h"'
run 1 'low/up.cpp:3: low/ may not include mid/ ("mid/a.h")
mid/a.cpp:2: mid/ may not include top/ ("top/c.h")
mid/a.cpp:3: mid/ may not include base/ ("base/other.h")
mid/sub/b.h:1: mid/sub/ may not include top/ ("top/c.h")
mid/up.cpp:1: mid/ may not include mid/sub/ ("mid/sub/b.h")
other/z.cpp: no row of the include table holds this file
top/one.cpp:2: top/one.cpp may not include mid/ ("mid/a.h")
top/rel.cpp:1: relative include ("../low/x.h"): name it from the tree root
top/tests.cpp:1: top/ may not include tests/ ("tests/t.h")'

rm -rf "$scratch"
exit "$fail"
