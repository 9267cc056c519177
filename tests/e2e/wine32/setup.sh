#!/usr/bin/env bash
# Makes 32-bit Wine run here, and prints how it runs as shell assignments for the caller to
# eval: `way`, a sentence, and `wine_env`, the variables to run Wine with (for `env`). Where the kernel executes i386 code,
# Wine runs natively. Where it does not, i386 programs run through qemu-user: a binfmt_misc
# handler (flag F: the interpreter is opened now, so it also works in other mount namespaces)
# hands them to qemu-i386-static, and qemu_preload.c mends what qemu 7.2 does differently from
# the kernel. Every step is idempotent and fails with the reason; registering the handler
# needs root.
#
# Usage: tests/e2e/wine32/setup.sh BUILD_DIR   (the preload library is built under BUILD_DIR)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=${1:?usage: $0 BUILD_DIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)
loader=/usr/lib/wine/wine
qemu=/usr/bin/qemu-i386-static
binfmt=/proc/sys/fs/binfmt_misc
handler=$binfmt/qemu-i386
# i386 executables and shared objects (ELF class 32, little-endian, machine 3).
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# Wine reserves the 32-bit address space itself; qemu's default guest space of 4 GiB leaves
# its shared user data page (0x7ffe0000) to chance. Larger values slow every start a lot.
reserved_va=0x7fff0000
preload=qemu_preload.so

fail() {
    echo "wine32: $*" >&2
    exit 1
}

[ -x "$loader" ] || fail "$loader is missing: install wine32:i386"

if [ ! -e "$handler" ] && "$loader" --version >/dev/null 2>&1; then
    echo "way='native 32-bit Wine'; wine_env=()"
    exit 0
fi

[ -x "$qemu" ] || fail "this kernel does not run i386 code and $qemu is missing: install qemu-user-static"

if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
        fail "binfmt_misc is not mounted and cannot be (mount -t binfmt_misc binfmt_misc $binfmt needs root)"
fi

# The handler as the kernel lists it, for comparison with a registered one.
expected="enabled
interpreter $qemu
flags: F
offset 0
magic $(printf "$magic" | od -An -tx1 | tr -d ' \n')
mask $(printf "$mask" | od -An -tx1 | tr -d ' \n')"
if [ -e "$handler" ] && [ "$(cat "$handler")" != "$expected" ]; then
    echo -1 >"$handler" 2>/dev/null || fail "cannot remove the different handler $handler (needs root)"
fi
if [ ! -e "$handler" ]; then
    printf ':qemu-i386:M::%s:%s:%s:F' "$magic" "$mask" "$qemu" >"$binfmt/register" 2>/dev/null ||
        fail "cannot register qemu-i386-static for i386 programs in $binfmt (needs root)"
fi
[ "$(cat "$handler")" == "$expected" ] || fail "the i386 handler in $binfmt is not the one registered"

# The library in the folder that ld.so's $LIB names for i386 on Debian, and an empty 64-bit twin
# where the 64-bit ld.so looks, so that native programs (the wineserver) load it quietly.
build() { # ARCH_FLAG LIBDIR
    local target=$out/lib/$2/$preload
    if [ "$target" -nt "$here/qemu_preload.c" ]; then
        return 0
    fi
    mkdir -p "$(dirname "$target")"
    gcc "$1" -shared -fPIC -O2 -Wall -Wextra -Werror -o "$target.tmp" "$here/qemu_preload.c" \
        -ldl -lpthread || fail "cannot build $target (gcc $1: install gcc-multilib)"
    mv "$target.tmp" "$target"
}
build -m32 i386-linux-gnu
build -m64 x86_64-linux-gnu

wine_env=("QEMU_RESERVED_VA=$reserved_va" "LD_PRELOAD=$out/\$LIB/$preload")
version=$(env "${wine_env[@]}" "$loader" --version 2>&1) ||
    fail "32-bit Wine does not start through qemu-user: $version"
echo "way='32-bit Wine through qemu-user ($("$qemu" --version | head -n 1))'"
printf 'wine_env=(%q %q)\n' "${wine_env[@]}"
