#!/usr/bin/env bash
# AddressSanitizer and UndefinedBehaviorSanitizer run of the process manager
# tests: a small build of just the process sources and their test with real
# child processes, bounded in time. Any report fails the check.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
# Absolute: the tests start the child from other working directories.
build="$(cd "${1:-$root/build}" && pwd)"
out="$build/asan-process"
mkdir -p "$out"
child="$build/tests/process/kest_testchild"
[[ -x "$child" ]] || g++ -std=c++23 -O1 "$root/tests/process/testchild.cpp" -o "$out/kest_testchild"
[[ -x "$child" ]] || child="$out/kest_testchild"

moc="$(qtpaths6 --query QT_HOST_LIBEXECS 2>/dev/null || true)/moc"
[[ -x "$moc" ]] || moc=/usr/lib/qt6/libexec/moc
for header in ManagedProcess ProcessManager ProcessMonitorWorker ProcessIOWorker InterfaceDnsOverride; do
  "$moc" -I"$root" "$root/process/$header.h" -o "$out/moc_$header.cpp"
done
launcher=()
command -v ccache >/dev/null && launcher=(ccache)
# shellcheck disable=SC2046
"${launcher[@]}" g++ -std=c++23 -O1 -g -fsanitize=address,undefined -fno-omit-frame-pointer -fPIC \
  -I"$root" $(pkg-config --cflags Qt6Core Qt6DBus libmnl) -DKEST_TESTCHILD_BINARY="\"$child\"" \
  "$root"/process/*.cpp "$root/base/DaemonLog.cpp" "$root/net/Netlink.cpp" "$root/net/SystemResolver.cpp" "$root/net/TunStateFile.cpp" \
  "$root/tests/process/ProcessManagerTest.cpp" "$root/tests/process/ProcessRightsTest.cpp" \
  "$out"/moc_*.cpp $(pkg-config --libs Qt6Core Qt6DBus libmnl) -lgtest -lgtest_main -lpthread -o "$out/process_asan"
ASAN_OPTIONS="abort_on_error=1:detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  timeout 300 "$out/process_asan" --gtest_brief=1
echo "asan-process: no sanitizer report"
