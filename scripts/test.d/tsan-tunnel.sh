#!/usr/bin/env bash
# ThreadSanitizer run of the tunnel's relay paths: the asynchronous SOCKS5
# client, the NAT listener and relay, the user-space TCP engine, the UDP-NAT module and the UDP flow table
# with the completion-port dispatch, built with -fsanitize=thread together with
# their tests, bounded in time. Any race report fails the check.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
out="$build/tsan-tunnel"
mkdir -p "$out"
launcher=()
command -v ccache >/dev/null && launcher=(ccache)
cd "$root"
# shellcheck disable=SC2046
"${launcher[@]}" g++ -std=c++23 -O1 -g -fsanitize=thread -fPIC -I"$root" $(pkg-config --cflags Qt6Core) \
  base/CompletionPort.cpp base/CompletionDispatcher.cpp base/SocketHelpers.cpp base/IpAddress.cpp \
  base/Endpoint.cpp base/Log.cpp \
  packet/RoutingPolicy.cpp packet/PacketCodec.cpp packet/DnsAnswers.cpp packet/DnsNameCache.cpp \
  socks5/Socks5Message.cpp socks5/AsyncSocksClient.cpp \
  relay/TunnelCounters.cpp relay/UdpRelay.cpp relay/UdpAssociations.cpp relay/UdpNat.cpp relay/UdpFlowTable.cpp \
  relay/DnsAssociationPool.cpp tun/TcpNatRelay.cpp tun/TcpNatListener.cpp tun/PipePool.cpp tun/RelaySession.cpp \
  tun/TcpConnectionTable.cpp tun/TcpConnection.cpp tun/TcpUploadPath.cpp tun/TcpDownloadPath.cpp \
  tun/RetransmissionTimer.cpp tun/StreamBuffer.cpp tun/ConnectionKey.cpp \
  net/ConnectionOwnerLookup.cpp net/SockDiag.cpp net/CgroupPath.cpp \
  tests/socks5/AsyncSocksClientTest.cpp tests/tun/TcpNatRelayTest.cpp tests/tun/TcpNatListenerTest.cpp \
  tests/relay/UdpForwardingTest.cpp tests/tun/TcpConnectionTableTest.cpp \
  -lgtest -lgtest_main -lpthread $(pkg-config --libs Qt6Core) -o "$out/tunnel_tsan"
# The warning-volume test counts lines against process-wide log limiters, which
# only a process of its own starts fresh (as ctest runs it); it says nothing of races.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  timeout 300 "$out/tunnel_tsan" --gtest_repeat=2 --gtest_brief=1 \
  --gtest_filter=-TcpNatRelayProxy.ManyRefusedConnectionsWriteABoundedNumberOfWarnings
echo "tsan-tunnel: no ThreadSanitizer report"
