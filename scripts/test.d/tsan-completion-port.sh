#!/usr/bin/env bash
# ThreadSanitizer run of the completion port: builds only the port and its tests with
# -fsanitize=thread and runs them, bounded in time. Any race report fails the check.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
out="$build/tsan-completion-port"
mkdir -p "$out"
launcher=()
command -v ccache >/dev/null && launcher=(ccache)
"${launcher[@]}" g++ -std=c++23 -O1 -g -fsanitize=thread -I"$root" \
  "$root/base/CompletionPort.cpp" \
  "$root/tests/base/CompletionPortTest.cpp" \
  "$root/tests/base/CompletionPortStressTest.cpp" \
  -lgtest -lgtest_main -lpthread -o "$out/completion_port_tsan"
# halt_on_error makes the first report fail the run; the stress test repeats 3 times.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  timeout 300 "$out/completion_port_tsan" --gtest_repeat=3 --gtest_brief=1
echo "tsan-completion-port: no ThreadSanitizer report"
