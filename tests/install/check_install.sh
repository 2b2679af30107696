#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds C callers against it twice: through
# find_package(KSymbol) and through pkg-config. Each caller must see version 0x0100000B.
# The guide's example examples/read_values.c is built both ways too and run against the
# embedded simulator, with its own KSYM_ROOT, and its output checked value by value.
#   check_install.sh BUILD_DIR SOURCE_DIR [CALLER_CFLAGS]   (-m32 for the i386 build)
set -euo pipefail
build_dir=$1
source_dir=$2
caller_cflags=${3:-}
work=$(mktemp -d)
server=
trap '[[ -z $server ]] || kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

cmake -S "$source_dir/tests/install/consumer" -B "$work/cmake-build" -G Ninja \
    -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_C_FLAGS="$caller_cflags" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

libdir=$(dirname "$(find "$work/prefix" -name ksymbol.pc -print -quit)")
pkg_flags=$(PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs ksymbol)
# shellcheck disable=SC2086 # the flags are meant to split
cc $caller_cflags -std=c99 -Wall -Werror -o "$work/pkg-consumer" \
    "$source_dir/tests/install/consumer.c" $pkg_flags
"$work/pkg-consumer"
echo "installed library: find_package and pkg-config callers both see 0x0100000B"

# shellcheck disable=SC2086
cc $caller_cflags -std=c99 -Wall -Wextra -Werror -pedantic -o "$work/pkg-read_values" \
    "$source_dir/examples/read_values.c" $pkg_flags

fail() {
    echo "read_values: $*" >&2
    exit 1
}

# The byte the simulator holds at OFFSET of a fresh AREA (with values=pattern: the sample
# project's initial values and behaviours are not played).
pattern() {
    printf '%02x' $(((($2 * 7) + ($2 >> 8) + ($1 * 31) + 0x5B) & 0xFF))
}

# The two bytes at OFFSET of AREA, in the order the controller keeps them.
bytes2() {
    echo "$(pattern "$1" "$2") $(pattern "$1" $(($2 + 1)))"
}

# The same two bytes swapped: a 16-bit symbol of a big-endian station on this little-endian
# host.
swapped2() {
    echo "$(pattern "$1" $(($2 + 1))) $(pattern "$1" "$2")"
}

# Runs PROGRAM with its output to OUT and OUT.err and echoes its exit code. The KSYM_ROOT is
# $root when set, else a fresh folder.
run_example() {
    local program=$1 out=$2
    shift 2
    local root=${root:-}
    [[ -n $root ]] || root=$(mktemp -d "$work/root.XXXXXX")
    local status=0
    KSYM_ROOT="$root" timeout 60 "$program" "$@" >"$out" 2>"$out.err" || status=$?
    echo "$status"
}

for program in "$work/cmake-build/read_values" "$work/pkg-read_values"; do
    root=$(mktemp -d "$work/root.XXXXXX")
    status=$(run_example "$program" "$work/out1" sim:values=pattern)
    [[ $status == 0 ]] || fail "$program exited $status: $(cat "$work/out1.err")"
    [[ $(wc -l <"$work/out1") == 3 ]] || fail "three lines expected, got: $(cat "$work/out1")"
    # Line1.Station2.Motor1.ActualSpeed: INT, area 1 offset 8; Line1.Station1.Selector: BYTE,
    # area 1 offset 6; %MW4: the word at byte 8 of the memory area 0. The simulator's
    # default order is the host's: nothing is swapped.
    expected="Line1.Station2.Motor1.ActualSpeed = $(bytes2 1 8)
Line1.Station1.Selector = $(pattern 1 6)
%MW4 = $(bytes2 0 8)"
    if [[ $(cat "$work/out1") != "$expected" ]]; then
        fail "unexpected values:
$(cat "$work/out1")
expected:
$expected"
    fi
    [[ -f "$root/windows/Korvan Files/Upload/SAMPLE.sdb" ]] || fail "no local symbol file"
    # A second run in the same root, which finds the symbol file there and keeps it after the
    # project check, says the same.
    status=$(run_example "$program" "$work/out2" sim:values=pattern)
    if [[ $status != 0 ]] || ! cmp -s "$work/out1" "$work/out2"; then
        fail "a second run differs (exit $status): $(cat "$work/out2")"
    fi
    root=
done

# A big-endian station: the INT symbol arrives in host order, swapped; a direct address has
# no type and keeps the controller's byte order.
status=$(run_example "$work/pkg-read_values" "$work/out-big" "sim:values=pattern;order=big")
expected="Line1.Station2.Motor1.ActualSpeed = $(swapped2 1 8)
Line1.Station1.Selector = $(pattern 1 6)
%MW4 = $(bytes2 0 8)"
[[ $status == 0 && $(cat "$work/out-big") == "$expected" ]] ||
    fail "a big-endian station: exit $status: $(cat "$work/out-big"), expected: $expected"

# Names given on the command line, a bit among them; and the error paths.
# LINE1.MODE names two symbols that differ by case (a BYTE at area 3 offset 0, then an INT):
# the first one is reached, and its size must be the one printed.
status=$(run_example "$work/pkg-read_values" "$work/out3" sim:values=pattern "%MB3" "%MX0.1" \
    "line1.station1.selector" "LINE1.MODE")
[[ $status == 0 ]] || fail "named variables: exit $status: $(cat "$work/out3.err")"
expected="%MB3 = $(pattern 0 3)
%MX0.1 = $( (($(printf '%d' "0x$(pattern 0 0)") >> 1 & 1)) && echo 01 || echo 00)
line1.station1.selector = $(pattern 1 6)
LINE1.MODE = $(pattern 3 0)"
[[ $(cat "$work/out3") == "$expected" ]] ||
    fail "named variables: $(cat "$work/out3"), expected: $expected"

# A byte the controller cannot deliver: that one variable is invalid, the others are not.
status=$(run_example "$work/pkg-read_values" "$work/out-absent" "sim:values=pattern;absent=1:6")
expected="Line1.Station2.Motor1.ActualSpeed = $(bytes2 1 8)
Line1.Station1.Selector = (invalid)
%MW4 = $(bytes2 0 8)"
[[ $status == 1 && $(cat "$work/out-absent") == "$expected" ]] ||
    fail "an absent byte: exit $status: $(cat "$work/out-absent"), expected: $expected"

status=$(run_example "$work/pkg-read_values" "$work/out4" sim No.Such.Variable)
[[ $status == 2 && ! -s "$work/out4" ]] || fail "an unknown name: exit $status"
grep -q "last error 19" "$work/out4.err" || fail "an unknown name: $(cat "$work/out4.err")"

status=$(run_example "$work/pkg-read_values" "$work/out5" "sim:order=sideways")
[[ $status == 2 ]] || fail "a malformed station: exit $status"
grep -q "last error 4" "$work/out5.err" || fail "a malformed station: $(cat "$work/out5.err")"

echo "installed library: read_values reads the sample variables through both builds"

# The same read through a station server (the installed plcsim) over loopback TCP: the
# values equal those of the embedded simulator.
plcsim=$(find "$work/prefix" -name plcsim -type f -print -quit)
[[ -x $plcsim ]] || fail "plcsim is not installed"
"$plcsim" --listen 127.0.0.1:0 --values pattern >"$work/plcsim.out" 2>&1 &
server=$!
for _ in $(seq 100); do
    grep -q '^plcsim listening on ' "$work/plcsim.out" && break
    sleep 0.1
done
port=$(sed -n 's/^plcsim listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/plcsim.out")
[[ -n $port ]] || fail "the station server did not start: $(cat "$work/plcsim.out")"
status=$(run_example "$work/pkg-read_values" "$work/out-sim" sim:values=pattern)
[[ $status == 0 ]] || fail "sim: exit $status: $(cat "$work/out-sim.err")"
status=$(run_example "$work/pkg-read_values" "$work/out-tcp" "tcp:127.0.0.1:$port")
[[ $status == 0 ]] || fail "tcp: exit $status: $(cat "$work/out-tcp.err")"
cmp -s "$work/out-sim" "$work/out-tcp" ||
    fail "the station server gave other values: $(cat "$work/out-tcp"), embedded: $(cat "$work/out-sim")"
# The installed tool starts without a library path set by hand, against the embedded
# simulator and against the installed station server.
ksym_read() {
    local ksym=$1 station=$2
    KSYM_ROOT=$(mktemp -d "$work/root.XXXXXX") timeout 60 "$ksym" --station "$station" \
        read Line1.Station1.Selector 2>&1
}
ksym=$(find "$work/prefix" -name ksym -type f -print -quit)
[[ -x $ksym ]] || fail "ksym is not installed"
for station in sim "tcp:127.0.0.1:$port"; do
    out=$(ksym_read "$ksym" "$station") || fail "the installed ksym against $station: $out"
    [[ $out == *Line1.Station1.Selector* ]] || fail "the installed ksym against $station: $out"
done
kill -TERM "$server"
status=0
wait "$server" || status=$?
server=
[[ $status == 0 ]] || fail "plcsim ended with $status on SIGTERM"
echo "installed library: read_values prints the same values through the embedded simulator and plcsim"

# The whole tree moved to another prefix still works.
mv "$work/prefix" "$work/moved"
out=$(ksym_read "${ksym/$work\/prefix/$work/moved}" sim) || fail "ksym after a move: $out"
"$work/moved/bin/plcsim" --help >/dev/null 2>&1 || fail "plcsim after a move does not start"
echo "installed programs: ksym and plcsim start from any prefix"
