#!/bin/sh
# Whether this machine executes 32-bit x86 programs, found out before anything
# is installed for them: a static i386 program that only exits, assembled and
# linked with binutils. Exit 0 when it ran; else 1, saying why on stdout.
set -u
dir=$(mktemp -d) && trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start:\nmovl $1, %%eax\nxorl %%ebx, %%ebx\nint $0x80\n' >"$dir/exit.s"
if ! { as --32 -o "$dir/exit.o" "$dir/exit.s" && ld -m elf_i386 -o "$dir/exit" "$dir/exit.o"; } \
    >"$dir/log" 2>&1; then
    echo "binutils could not build an i386 program: $(head -n1 "$dir/log")"
    exit 1
fi
why=$(cd "$dir" && ./exit 2>&1) && exit 0
echo "this kernel does not run an i386 program that only exits (rc $?: ${why##*: })"
exit 1
