#!/usr/bin/env bash
# Runs a command with i386 Linux programs (the linux32 preset's) executed through qemu-user:
# for the time of the command, the kernel hands every i386 ELF program, child processes
# included, to /usr/bin/qemu-i386 (a binfmt_misc entry of this run, removed at the end).
# Registering needs root (or sudo); without it, a kernel that runs i386 programs itself is
# used and that is said; a machine that can do neither stops here with the reason.
#   scripts/with-i386.sh COMMAND [ARG...]
set -euo pipefail
cd "$(dirname "$0")/.."

misc=/proc/sys/fs/binfmt_misc
name=ksym-i386-$$
# The usual magic and mask of i386 ELF executables and shared objects (machine 3).
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null && sudo -n true 2>/dev/null && as_root=(sudo -n)
fi
can_be_root() { [ "$(id -u)" -eq 0 ] || [ ${#as_root[@]} -gt 0 ]; }

registered=
unregister() {
    if [ -n "$registered" ] && [ -e "$misc/$name" ]; then
        echo -1 | "${as_root[@]}" tee "$misc/$name" >/dev/null 2>&1 || true
    fi
}
trap unregister EXIT

why=
if [ ! -x /usr/bin/qemu-i386 ]; then
    why="qemu-user is not installed"
elif ! can_be_root; then
    why="registering qemu-user needs root"
else
    if [ ! -e "$misc/register" ]; then
        "${as_root[@]}" mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null || true
    fi
    if [ -e "$misc/register" ] &&
        printf ':%s:M::%s:%s:/usr/bin/qemu-i386:' "$name" "$magic" "$mask" |
        "${as_root[@]}" tee "$misc/register" >/dev/null 2>&1; then
        registered=1
    else
        why="binfmt_misc cannot be used here"
    fi
fi

# A small i386 program tells whether i386 programs now run, and how.
probe_dir=$(mktemp -d /tmp/ksym-i386.XXXXXX)
trap 'unregister; rm -rf "$probe_dir"' EXIT
printf '#include <stdio.h>\n#include <sys/utsname.h>\nint main(void) { struct utsname u; uname(&u); puts(u.machine); return 0; }\n' >"$probe_dir/probe.c"
if ! cc -m32 -o "$probe_dir/probe" "$probe_dir/probe.c" 2>"$probe_dir/cc.err"; then
    echo "with-i386: cannot build i386 programs (g++-multilib missing?): $(cat "$probe_dir/cc.err")" >&2
    exit 1
fi
machine=$("$probe_dir/probe" 2>/dev/null || true)
if [ -n "$registered" ] && [ "$machine" = i686 ]; then
    echo "with-i386: i386 programs run through qemu-user ($misc/$name)"
elif [ -n "$machine" ]; then
    echo "with-i386: ${why:-qemu-user did not take the programs}; i386 programs run natively on this kernel"
else
    echo "with-i386: i386 programs cannot run here: ${why:-the kernel refused them}" >&2
    exit 1
fi

"$@"
