#pragma once
// The TUN mode's virtual interface: a Linux TUN device (IFF_TUN, no packet
// information) opened through the clone device, with one reader thread that
// hands every packet read to a handler, a send with bounded retry callable from
// any thread, and the interface settings (address, gateway, metric, DNS) of the
// link it created.
// Segmentation offload is on unless switched off (KESTD_TUN_OFFLOAD=0 in the
// environment) or refused by the kernel: every packet then crosses the device
// behind a virtio-net header (PacketOffload), the local stack hands over TCP
// super-packets of up to 64 KiB with partial checksums and takes them back
// whole, and the link's MTU stays what it is. Where the kernel refuses, reads
// and writes are plain (logged). Either way the handler and send() speak in
// packets plus their PacketOffload; a plain packet is sent with the zero one.
// The reader runs over io_uring (TunRing) where the kernel allows it, so that a
// packet rewritten in place goes back with the read of the next one; else it
// reads and polls (logged), as it also does with KESTD_TUN_RING=0.

#include "packet/PacketOffload.h"

#include "net/PacketDevice.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class InterfaceConfig;
class TunRing;

class TunAdapter : public PacketDevice {
public:

    static constexpr const char *kTunnelType = "DodedAzedir";
    static constexpr std::uint32_t kSessionCapacity = 0x1000000;
    static constexpr int kSendRetryLimit = 50;
    static constexpr std::size_t kMaxInterfaceName = 15;
    static constexpr std::size_t kHashedNameDigits = 11;
    // An IPv6 packet with a full 64 KiB payload is the largest the device hands over.
    static constexpr std::size_t kMaxPacketSize = 65535 + 40;
    static constexpr std::size_t kReadBufferSize = PacketOffload::kHeaderSize + kMaxPacketSize;
    // Environment switch: "0" keeps the device without offloads.
    static constexpr const char *kOffloadSwitch = "KESTD_TUN_OFFLOAD";
    // Environment switch: "0" keeps the reader on read and poll.
    static constexpr const char *kRingSwitch = "KESTD_TUN_RING";

    TunAdapter();
    ~TunAdapter() override;
    TunAdapter(const TunAdapter &) = delete;
    TunAdapter &operator=(const TunAdapter &) = delete;

    // Opens the clone device (normally /dev/net/tun).
    bool load(const std::string &devicePath);
    // Attaches to the TUN link of that name or creates it; the link is up with IPv6
    // off afterwards and carries the full adapter name as its alias.
    bool openOrCreate(const std::string &adapterName, const std::string &tunnelType);
    // The link's ifindex stands for both the LUID and the interface index.
    std::uint64_t luid() const { return m_luid; }
    std::uint32_t interfaceIndex() const;
    // The kernel name of the link ("" before openOrCreate).
    const std::string &interfaceName() const { return m_interfaceName; }
    bool startSession(std::uint32_t capacity);
    void setPacketHandler(PacketHandler handler) override;
    void startReader() override;
    void stopReader() override;
    void endSession();
    // Closes the device; the link, its addresses and routes go away with it.
    void closeAdapter();
    using PacketDevice::send;
    // A packet as read (a rewritten super-packet), with its offload metadata.
    // From the handler, the packet being delivered (rewritten in place) goes
    // out once the handler returns, and must be left as it is until then.
    bool send(const std::uint8_t *packet, std::uint32_t length, const PacketOffload &offload) override;
    // The environment switch: false when it says "0". The tunnel's zero-copy
    // relay follows it too, so that one switch gives the plain paths.
    static bool offloadSwitchedOn();
    // Offloads are asked for at openOrCreate() (default: the environment switch).
    void setOffloadWanted(bool wanted) { m_offloadWanted = wanted; }
    // Packets cross the device with their virtio-net header.
    bool offloadActive() const override { return m_offload.load(std::memory_order_relaxed); }
    // The reader uses io_uring where it can (default: the environment
    // switch); set before startReader().
    void setRingWanted(bool wanted) { m_ringWanted = wanted; }
    // Whether the running reader uses io_uring.
    bool ringActive() const { return m_ring.load(std::memory_order_relaxed) != nullptr; }
    // Called for each packet a send reported sent and the device then
    // refused (a write queued on the ring); set before startReader().
    void setWriteDropped(std::function<void()> dropped) { m_writeDropped = std::move(dropped); }

    // Interface configuration of the link (see InterfaceConfig).
    bool setAddress(std::uint32_t address, std::uint8_t prefixLength);
    bool setGateway(std::uint32_t gateway);
    bool setMetric(std::uint32_t metric);
    bool setDnsServers(const std::string &primary, const std::string &secondary);
    bool setIpv6DnsServers(const std::string &primary, const std::string &secondary);

    // MD5 of "wintun" + the UTF-8 name: the adapter's stable identity.
    static std::array<std::uint8_t, 16> deterministicGuid(const std::string &adapterName);
    // The adapter name when it is a valid Linux interface name, else "kest" and the
    // first 11 hex digits of its identity.
    static std::string interfaceNameFor(const std::string &adapterName);
    // Registry form of a GUID: braces, upper-case hex.
    static std::string guidText(const std::array<std::uint8_t, 16> &guid);

    // Uses an open descriptor as the session's device instead of a TUN link (tests
    // give a pipe or socket to see the send retry policy on a real full queue);
    // withHeader: packets on it carry the offload header.
    void attachDescriptorForTests(int fd, bool withHeader = false);
    // The wait between two send attempts on a full queue (a sleep unless tests
    // count the waits); set before the first send.
    using RetryPause = std::function<void(std::chrono::milliseconds)>;
    void setRetryPause(RetryPause pause) { m_retryPause = std::move(pause); }

private:
    void readerLoop();
    void pollLoop(int fd);
    // Hands a packet rewritten in place to the reader's ring; false when it
    // is not the packet being delivered there.
    bool queueOnRing(const std::uint8_t *packet, std::uint32_t length, const PacketOffload &offload);
    // The write, retried while the device's queue is full; false when dropped (logged).
    template <typename Write>
    bool writeWithRetry(Write write, std::uint32_t length);
    void deliver(std::uint8_t *buffer, std::size_t length);
    // TUNSETIFF on the device for the link; false with errno set.
    bool attachLink(const std::string &name, bool withHeader, std::string *attachedName);
    // Header size, little-endian header, offload flags: 0 or the errno.
    static int enableOffload(int fd);
    // The link attached with offloads where possible; false with errno set.
    bool attachWithOffloadIfWanted(const std::string &name, std::string *attachedName);
    ssize_t writePacket(int fd, const std::uint8_t *packet, std::uint32_t length, const PacketOffload &offload);

    int m_cloneFd = -1;
    std::atomic<int> m_deviceFd{-1};
    RetryPause m_retryPause = [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); };
    int m_stopEvent = -1;
    std::string m_devicePath;
    std::string m_adapterName;
    std::string m_interfaceName;
    std::uint64_t m_luid = 0;
    bool m_created = false;
    bool m_offloadWanted = true;
    std::atomic<bool> m_offload{false};
    bool m_ringWanted = true;
    std::atomic<TunRing *> m_ring{nullptr}; // the reader's, while it runs
    std::function<void()> m_writeDropped;
    std::atomic<bool> m_session{false};
    std::atomic<bool> m_running{false};
    std::thread m_reader;
    PacketHandler m_handler;
    std::unique_ptr<InterfaceConfig> m_config;
};
