#pragma once
// One relayed connection of the NAT path: the accepted application socket and
// the socket to the proxy or the destination, with one receive and one send
// slot per direction. Each direction runs receive -> send -> receive, so at most
// one send is outstanding per direction and a slow reader holds back its
// writer (back-pressure) instead of being spun on. A spliced session moves the
// bytes through a pipe per direction (socket -> pipe -> socket) and never
// copies them into the daemon; a plain one receives into a buffer and sends it.

#include "base/CompletionPort.h"
#include "relay/FlowStats.h"
#include "tun/PipePool.h"
#include "tun/TcpNatSession.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

struct RelaySession {
    static constexpr std::uint32_t kBufferSize = 65536;

    enum class Side : std::uint8_t { Client, Destination };

    // Bytes received on one side, and the send of them to the other side.
    struct Direction {
        CompletionSlot receiveSlot;
        CompletionSlot sendSlot;
        std::atomic<bool> receivePending{false};
        bool ended = false; // the side closed its sending half; guarded by mutex
        // Plain sessions: not zero-filled, so pages are touched only as data
        // passes, which keeps the memory of idle connections small.
        std::unique_ptr<std::uint8_t[]> buffer;
        // Spliced sessions: the pipe. Given back (or closed) with the session
        // only, once no operation can use it.
        PipePool::Pipe pipe;
    };

    RelaySession() = default;
    RelaySession(const RelaySession &) = delete;
    RelaySession &operator=(const RelaySession &) = delete;
    ~RelaySession();

    std::uint64_t id = 0;
    int clientSocket = -1;
    int destinationSocket = -1;
    bool direct = false;
    bool spliced = false;
    TcpNatSession nat; // the NAT session it serves (its NAT port is freed at close)
    Direction fromClient;      // client receive slot; sends go to the destination socket
    Direction fromDestination; // destination receive slot; sends go to the client socket
    // Guards closing and the socket numbers against a post racing a close: a
    // closed socket's number may already belong to another connection.
    std::mutex mutex;
    std::atomic<bool> closing{false};
    // Bytes each way (up: client to destination), start and owner, from the accept on.
    std::shared_ptr<FlowStats> stats = std::make_shared<FlowStats>();
    std::shared_ptr<PipePool> pipes; // where the pipes go back to

    Direction &direction(Side side) { return side == Side::Client ? fromClient : fromDestination; }
    // Gives each direction a pipe from the pool (spliced) or a buffer (plain):
    // spliced when there is a pool and both pipes could be had. True when spliced.
    bool prepareDirections(std::shared_ptr<PipePool> pipes);
    int receiveSocket(Side side) const { return side == Side::Client ? clientSocket : destinationSocket; }
    int sendSocket(Side side) const { return side == Side::Client ? destinationSocket : clientSocket; }
};
