#!/usr/bin/env bash
# Tells whether this machine's kernel runs 32-bit x86 programs: exit 0 when it does, 1 (with the
# reason on standard error) when it does not. Some kernels are built or started without IA32
# emulation; there debootstrap of the i386 root and 32-bit Wine cannot work at all.
#
# The probe is the smallest static i386 ELF program: one PT_LOAD segment whose code is
# exit(0) through int 0x80 (mov eax, 1; xor ebx, ebx; int 0x80).
set -euo pipefail

probe="$(mktemp "${TMPDIR:-/tmp}/zx-i386-probe.XXXXXX")"
trap 'rm -f "$probe"' EXIT
# ELF header (52 bytes): ELFCLASS32, little endian, ET_EXEC, EM_386, entry 0x08048054,
# program headers at 52, one of 32 bytes.
header='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'
header+='\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00'
header+='\x01\x00\x00\x00\x00\x00\x00\x00'
# PT_LOAD of the whole file (93 bytes) at 0x08048000, read and execute.
segment='\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00'
segment+='\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
code='\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80'
printf '%b' "$header$segment$code" >"$probe"
chmod +x "$probe"
if ! reason="$("$probe" 2>&1)"; then
    echo "runs-i386: this machine's kernel does not run 32-bit x86 programs (${reason:-refused})" >&2
    exit 1
fi
