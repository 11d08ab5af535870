#!/usr/bin/env bash
# Every test, from a fresh Debian 12 machine: installs what is missing, then runs the three
# tiers and prints one closing line "N passed, N failed".
#   1. native: the logic that needs no window, under ASan and UBSan, plus bounded fuzzing;
#   2. and 3. Windows: the i686 and x86_64 cross builds, whose CTest suites run under Wine
#      (component tests against the real registry, windows, ptys, sockets and TLS, and the
#      end-to-end runs of pellarin.exe with the simulated terminal and host).
# FUZZ_SECONDS (default 30) bounds each fuzz target; ARCHES (default "i686 x86_64") picks the
# cross builds.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash tools/setup.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
no32=$(bash -c 'source tools/wine-env.sh; echo "$PELLARIN_NO_32BIT"')
passed=0
failed=0
skipped=0
logdir="$root/build/test-logs"
mkdir -p "$logdir"

# Adds the counts of one CTest run (its "N tests failed out of M" line) to the totals.
count_ctest() {
  local log="$1" line total bad
  line=$(grep -E 'tests? failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ]; then
    echo "test.sh: no CTest summary in $log" >&2
    failed=$((failed + 1))
    return
  fi
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

# Configures and builds one tier quietly; on failure shows the logs' ends and counts a failure.
build_tier() {
  local name="$1" dir="$2"; shift 2
  if ! cmake -S . -B "$dir" "$@" >"$logdir/$name-configure.log" 2>&1 ||
     ! cmake --build "$dir" -j "$jobs" >"$logdir/$name-build.log" 2>&1; then
    tail -40 "$logdir/$name-configure.log" "$logdir/$name-build.log" 2>/dev/null
    echo "test.sh: $name did not build" >&2
    failed=$((failed + 1))
    return 1
  fi
}

# ONLY_ON_PRODUCT names the suites that run on one architecture only: the fault table plays
# the same rows against the same relay logic on both, takes five minutes a tier, and the i686
# build is the product. It runs on x86_64 only when this machine cannot run the i686 build.
ONLY_ON_PRODUCT='^e2e_faults$'

run_tier() {
  local name="$1" dir="$2" t0=$SECONDS exclude=(); shift 2
  echo "== $name"
  build_tier "$name" "$dir" "$@" || return
  if [ "$name" = x86_64 ] && [ "$no32" != 1 ] && [[ " ${ARCHES:-i686 x86_64} " == *" i686 "* ]]; then
    exclude=(-E "$ONLY_ON_PRODUCT")
    local n
    n=$(ctest --test-dir "$dir" -N -R "$ONLY_ON_PRODUCT" | sed -nE 's/^Total Tests: ([0-9]+)$/\1/p')
    skipped=$((skipped + ${n:-0}))
    echo "$name: not run here, run on i686 (the product) above:" \
      $(ctest --test-dir "$dir" -N -R "$ONLY_ON_PRODUCT" | sed -nE 's/^ *Test +#[0-9]+: (.*)$/\1/p')
  fi
  tools/with-display.sh ctest --test-dir "$dir" --output-on-failure --timeout 600 "${exclude[@]}" \
    2>&1 | tee "$logdir/$name-ctest.log"
  count_ctest "$logdir/$name-ctest.log"
  echo "$name: $((SECONDS - t0)) s"
}

run_tier native build/native -DCMAKE_BUILD_TYPE=Debug

# The threaded native tests again under ThreadSanitizer (a build of its own: it cannot run
# beside ASan).
echo "== native-tsan"
if cmake -S . -B build/native-tsan -DCMAKE_BUILD_TYPE=Debug -DPELLARIN_TSAN=ON \
     >"$logdir/native-tsan-configure.log" 2>&1 &&
   cmake --build build/native-tsan -j "$jobs" --target log_stream_buf_test log_sink_queue_test \
     >"$logdir/native-tsan-build.log" 2>&1; then
  ctest --test-dir build/native-tsan -L threads --output-on-failure 2>&1 |
    tee "$logdir/native-tsan-ctest.log"
  count_ctest "$logdir/native-tsan-ctest.log"
else
  tail -40 "$logdir/native-tsan-build.log"; failed=$((failed + 1))
fi

if [ -x tools/fuzz.sh ]; then
  echo "== fuzz"
  if tools/fuzz.sh "${FUZZ_SECONDS:-30}" >"$logdir/fuzz.log" 2>&1; then
    passed=$((passed + 1)); echo "fuzz: no finding"
  else
    failed=$((failed + 1)); tail -40 "$logdir/fuzz.log"
  fi
fi

# On a machine whose kernel runs no 32-bit programs (see tools/wine-env.sh), Wine cannot start
# the i686 build. It is still built, and its checks that need no Wine (the export names) run;
# its Wine tests are counted as skipped, by name, with the reason. The installer suite runs
# there too (msiexec and the registry need no 32-bit code); the steps it cannot run (those
# that start the relay) it names in BUILD/package-test/skipped, and they are counted here.
# Nothing of the x86_64 tier is skipped.
NO_WINE_TESTS='^(app_export_name|package_install)$'

run_tier_without_wine() {
  local name="$1" dir="$2" t0=$SECONDS all; shift 2
  echo "== $name (built; this kernel runs no 32-bit programs, so its Wine tests cannot run)"
  build_tier "$name" "$dir" "$@" || return
  ctest --test-dir "$dir" --output-on-failure -R "$NO_WINE_TESTS" \
    2>&1 | tee "$logdir/$name-ctest.log"
  count_ctest "$logdir/$name-ctest.log"
  all=$(ctest --test-dir "$dir" -N | sed -nE 's/^Total Tests: ([0-9]+)$/\1/p')
  local ran
  ran=$(ctest --test-dir "$dir" -N -R "$NO_WINE_TESTS" | sed -nE 's/^Total Tests: ([0-9]+)$/\1/p')
  skipped=$((skipped + ${all:-0} - ${ran:-0}))
  echo "$name: skipped $((${all:-0} - ${ran:-0})) Wine tests:" \
    $(ctest --test-dir "$dir" -N -E "$NO_WINE_TESTS" | sed -nE 's/^ *Test +#[0-9]+: (.*)$/\1/p')
  if [ -s "$dir/package-test/skipped" ]; then
    skipped=$((skipped + $(wc -l <"$dir/package-test/skipped")))
    echo "$name: skipped steps of package_install:"
    sed 's/^/  /' "$dir/package-test/skipped"
  fi
  echo "$name: $((SECONDS - t0)) s"
}

for arch in ${ARCHES:-i686 x86_64}; do
  tier=run_tier
  [ "$arch" = i686 ] && [ "$no32" = 1 ] && tier=run_tier_without_wine
  "$tier" "$arch" "build/$arch" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch-mingw.cmake"
done

if [ "$skipped" -gt 0 ]; then
  echo "$passed passed, $failed failed, $skipped skipped"
else
  echo "$passed passed, $failed failed"
fi
[ "$failed" -eq 0 ]
