#!/usr/bin/env bash
# Exits 0 when this kernel runs 32-bit x86 programs, 1 when it does not.
# Writes a 93-byte static 32-bit ELF (one exit system call) into the build tree and runs it.
# COBALIN_FORCE_NO_32BIT=1 makes the probe fail, to exercise what callers do on such a kernel.
set -u
cd "$(dirname "$0")/.."
[ "${COBALIN_FORCE_NO_32BIT:-0}" = 1 ] && exit 1
mkdir -p build
probe=build/probe-elf32
# ELF header (52 bytes), one PT_LOAD program header (32 bytes), then
# "mov eax, 1; xor ebx, ebx; int 0x80" at 0x08048054: exit(0).
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00''\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00''\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00''\x00\x00\x00\x00''\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08''\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00''\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
chmod +x "$probe"
"./$probe" 2>/dev/null || exit 1
