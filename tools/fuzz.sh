#!/usr/bin/env bash
# Builds the fuzz targets of the platform-free relay and log logic with clang (libFuzzer,
# ASan, UBSan) in build/fuzz and runs each for SECONDS (default 30). Fails on the first
# finding; the failing input is left in build/fuzz/artifacts/. Corpora persist in
# build/fuzz/corpus/ between runs, seeded with a few typical frames on the first run.
set -euo pipefail
seconds="${1:-30}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/fuzz"

cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null

seed() {  # seed DIR NAME BYTES (printf format)
  mkdir -p "$1"
  [ -e "$1/$2" ] || printf "$3" >"$1/$2"
}
c="$build/corpus/fuzz_connect_route"
seed "$c" ssl_request '\x21192000002010700\x31\x21'
seed "$c" plain_request '\x25127000000001808\x30X'
seed "$c" ack '\x06'
seed "$c" message '\x02TEST\x03'
seed "$c" dle_then_request '\x10\x25127000000001808\x30X'
seed "$c" request_then_message '\x25127000000001808\x30X\x02TEST\x03'
l="$build/corpus/fuzz_line_format"
seed "$l" summary_ack '\x00\x00\x00\x00\x00\x01\x00\x00\x01\x00\x06'
seed "$l" full_message '\x01\x00\x00\x00\x00\x02\x00\x00\x19\x000123456789ABCDEFGHIJKLMNO'
seed "$l" status '\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00port open'
m="$build/corpus/fuzz_card_mask"
seed "$m" ascii_card '\x00\x02PAN=4111 1111 1111 1111\x1c'
seed "$m" track2 ';4111111111111111=25121010000012300000?'
seed "$m" packed_track2 '\x57\x10\x41\x11\x11\x11\x11\x11\x11\x11\xd2\x51\x21\x01\x12\x34\x56\x7f'

a="$build/corpus/fuzz_relay_config"
seed "$a" list '\xc0\x00\x02\x0a\x1b\x59192.0.2.10:7001, 10.0.0.0/8'
seed "$a" bad '\x7f\x00\x00\x01\x00\x50127.0.0.1, 127.0.0.300'

mkdir -p "$build/artifacts"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
for target in fuzz_connect_route fuzz_line_format fuzz_card_mask fuzz_relay_config; do
  echo "fuzz: $target for ${seconds}s"
  "$build/$target" -max_total_time="$seconds" -max_len=4200 -print_final_stats=0 \
    -artifact_prefix="$build/artifacts/$target-" "$build/corpus/$target" 2>"$build/$target.log" || {
    echo "fuzz: $target found a fault (see $build/$target.log and $build/artifacts/)" >&2
    tail -40 "$build/$target.log" >&2
    exit 1
  }
  tail -1 "$build/$target.log"
done
echo "fuzz: no findings"
