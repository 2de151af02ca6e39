#!/usr/bin/env bash
# Exits 0 when this machine runs 32-bit x86 programs, 1 when it does not.
# With --mode it also prints how they run: "native" (the kernel runs them) or
# "emulated (qemu-user N.N)" (binfmt_misc hands them to qemu-i386); or, when they do not run,
# why (the reason scripts/setup.sh left in build/run32-unavailable, if any).
# Writes a 114-byte static 32-bit ELF into the build tree and runs it. The program asks the
# kernel for its machine name (uname) and exits with the name's first letter: a 64-bit kernel
# running it natively says "x86_64", qemu-i386 says "i686". A kernel that refuses it gives 126.
# COBALIN_FORCE_NO_32BIT=1 makes the probe fail, to exercise what callers do on such a kernel.
set -u
cd "$(dirname "$0")/.."
refuse() {
  if [ "${1:-}" = --mode ]; then
    why=$(cat build/run32-unavailable 2>/dev/null)
    echo "${why:-this kernel does not run 32-bit programs}"
  fi
  exit 1
}
[ "${COBALIN_FORCE_NO_32BIT:-0}" = 1 ] && refuse "$@"
mkdir -p build
probe=build/probe-elf32-uname
# ELF header (52 bytes), one PT_LOAD program header (32 bytes), then at 0x08048054:
#   sub esp, 400; mov ebx, esp; mov eax, 122; int 0x80       (newuname into the stack)
#   movzx ebx, byte [esp+260]; mov eax, 1; int 0x80           (exit with machine[0])
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00''\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00''\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00''\x00\x00\x00\x00''\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08''\x72\x00\x00\x00\x72\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00''\x81\xec\x90\x01\x00\x00\x89\xe3\xb8\x7a\x00\x00\x00\xcd\x80''\x0f\xb6\x9c\x24\x04\x01\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' >"$probe"
chmod +x "$probe"
"./$probe" 2>/dev/null
letter=$?
case "$letter" in
  120) mode=native ;;                                       # 'x': x86_64
  105)                                                      # 'i': i686, the emulator's answer
    version=$({ qemu-i386-static --version || qemu-i386 --version; } 2>/dev/null |
              sed -n 's/^qemu-i386 version \([0-9]*\.[0-9]*\).*/\1/p' | head -n1)
    mode="emulated (qemu-user ${version:-of unknown version})" ;;
  *) refuse "$@" ;;
esac
[ "${1:-}" = --mode ] && echo "$mode"
exit 0
