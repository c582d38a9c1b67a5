#!/usr/bin/env bash
# libFuzzer runs of the parsers of outside bytes (TUN packets, DNS answers,
# client frames with request decoding, "start-tun" reading, SOCKS5 replies and
# relay UDP headers) and of the user-space TCP engine fed random segments, under
# AddressSanitizer and UndefinedBehaviorSanitizer: a small clang build of just
# those sources, then each target for a bounded time (KEST_FUZZ_SECONDS, 30 s by
# default per target). Any finding fails the check; its input is kept in the
# build dir.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}/fuzz"
seconds="${KEST_FUZZ_SECONDS:-30}"

if ! command -v clang++ >/dev/null; then
  echo "clang++ is missing (scripts/packages/tunnel-blocks.txt lists it)"
  exit 1
fi
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
for target in fuzz_parse_packet fuzz_dns_answers fuzz_frame_cutter fuzz_start_tun fuzz_socks5_reply \
    fuzz_socks5_udp_header fuzz_tcp_engine; do
  work="$build/$target.corpus"
  mkdir -p "$work" "$build/findings"
  echo "== $target for ${seconds}s"
  if ! "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build/findings/$target-" -print_final_stats=1 \
      "$work" "$root/fuzz/corpus/$target" 2>"$build/$target.log"; then
    echo "FINDING in $target:"
    tail -40 "$build/$target.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|Done [0-9]+ runs" "$build/$target.log" | tail -2 || true
  fi
done
exit $status
