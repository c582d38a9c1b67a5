#pragma once
// The tests' SOCKS5 server on loopback, for the cases a real proxy will not
// produce on demand. Each successive control connection follows a script (the
// last one repeats): it may stay silent, answer the greeting with any bytes,
// answer CONNECT with scripted pieces (a refusal, a reply split up, a bound
// address of any type) or grant it and send data as if from the destination,
// or grant UDP ASSOCIATE with a relay that echoes every datagram under its
// header, as if the destination had answered. The relay can also send a short
// datagram, malformed ones, or a stranger's datagram first. It records the
// greetings, requests and relayed datagrams, and which connections the client
// closed; it serves one connection at a time, bounded by its destructor.

#include "tests/support/LoopbackTools.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class SocksTestServer {
    template <typename Read>
    auto locked(Read read) const
    {
        std::lock_guard lock(m_mutex);
        return read();
    }

public:
    using Bytes = std::vector<std::uint8_t>;

    enum class Bound { Loopback, Unspecified, Ipv6 };

    struct Script {
        bool silent = false; // accept, then never answer
        Bytes greetingReply = {0x05, 0x00};
        // CONNECT: the reply, in pieces sent pauseMs apart; empty grants it
        // (bound 127.0.0.1:8080) and sends afterReply. closeOnRequest closes
        // the connection instead of answering.
        std::vector<Bytes> replyPieces;
        int pauseMs = 0;
        Bytes afterReply;
        bool closeOnRequest = false;
        // UDP ASSOCIATE: the bound address named and a delay before the reply.
        Bound bound = Bound::Loopback;
        int associateDelayMs = 0;
    };

    struct RelayOptions {
        bool shortDatagramFirst = false; // 9 bytes before the first echo
        bool junkFirst = false;          // 9 bytes, ATYP 7 and FRAG 1 before the first echo
        bool strangerFirst = false;      // another socket sends "forged" before each echo
    };

    SocksTestServer() : SocksTestServer(std::vector<Script>{Script{}}) {}
    explicit SocksTestServer(Script script) : SocksTestServer(std::vector<Script>{std::move(script)}) {}
    explicit SocksTestServer(RelayOptions relay) : SocksTestServer(std::vector<Script>{Script{}}, relay) {}
    explicit SocksTestServer(std::vector<Script> scripts) : SocksTestServer(std::move(scripts), RelayOptions()) {}
    SocksTestServer(std::vector<Script> scripts, RelayOptions relay)
        : m_scripts(std::move(scripts)), m_relayOptions(relay)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        m_udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        m_stranger = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopbackAddress(0);
        ::bind(m_listen, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(m_listen, 512);
        ::bind(m_udp, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::bind(m_stranger, reinterpret_cast<sockaddr *>(&address), sizeof address);
        m_port = localPort(m_listen);
        m_udpPort = localPort(m_udp);
        m_thread = std::thread([this] { serve(); });
    }

    ~SocksTestServer()
    {
        m_stop = true;
        m_thread.join();
        for (const Control &control : m_controls)
            if (control.fd >= 0)
                ::close(control.fd);
        ::close(m_listen);
        ::close(m_udp);
        ::close(m_stranger);
    }

    std::uint16_t port() const { return m_port; }
    int connections() const { return m_connections.load(); }
    int associations() const { return m_associations.load(); }
    // The last greeting, and every request in order of arrival.
    Bytes greeting() const { return locked([&] { return m_greeting; }); }
    std::vector<Bytes> requests() const { return locked([&] { return m_requests; }); }
    Bytes request() const
    {
        const std::vector<Bytes> all = requests();
        return all.empty() ? Bytes{} : all.back();
    }
    // Payloads and header addresses (IPv4, host order) of the relayed datagrams.
    std::vector<std::string> payloads() const { return locked([&] { return m_payloads; }); }
    std::vector<std::uint32_t> headerAddresses() const { return locked([&] { return m_addresses; }); }

    // Closes every control connection (the proxy ends its associations).
    void endAssociations() { m_endRequested = true; }
    // The client closed connection number index (waits up to timeoutMs).
    bool waitForClientClose(int timeoutMs, std::size_t index = 0) const
    {
        for (int waited = 0; waited < timeoutMs && !clientClosed(index); waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return clientClosed(index);
    }

private:
    struct Control {
        int fd = -1;
        bool closedByClient = false;
    };

    bool clientClosed(std::size_t index) const
    {
        return locked([&] { return index < m_controls.size() && m_controls[index].closedByClient; });
    }
    static std::uint16_t localPort(int fd)
    {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        return ntohs(address.sin_port);
    }
    // Reads exactly n bytes, giving up when stopped or after 5 s.
    bool readExact(int fd, std::uint8_t *out, std::size_t n)
    {
        std::size_t got = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got < n && !m_stop && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t r = ::recv(fd, out + got, n - got, 0);
            if (r <= 0)
                return false;
            got += std::size_t(r);
        }
        return got == n;
    }
    void sendBytes(int fd, const Bytes &bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void pause(int ms)
    {
        for (int waited = 0; waited < ms && !m_stop; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // One conversation; false when the connection is to be closed at once.
    bool converse(int fd, const Script &script)
    {
        if (script.silent)
            return true;
        Bytes greeting(3);
        if (!readExact(fd, greeting.data(), greeting.size()))
            return true;
        locked([&] { m_greeting = greeting; });
        sendBytes(fd, script.greetingReply);
        if (script.greetingReply != Bytes{0x05, 0x00})
            return true;
        Bytes request(5);
        if (!readExact(fd, request.data(), request.size()))
            return true;
        const std::size_t rest = request[3] == 1 ? 5 : request[3] == 4 ? 17 : std::size_t(request[4]) + 2;
        request.resize(5 + rest);
        if (!readExact(fd, request.data() + 5, rest))
            return true;
        locked([&] { m_requests.push_back(request); });
        if (script.closeOnRequest)
            return false;
        if (request[1] == 0x03)
            associate(fd, script);
        else
            answerConnect(fd, script);
        return true;
    }

    void answerConnect(int fd, const Script &script)
    {
        if (script.replyPieces.empty()) {
            sendBytes(fd, {0x05, 0x00, 0x00, 0x01, 127, 0, 0, 1, 0x1F, 0x90});
            sendBytes(fd, script.afterReply);
            return;
        }
        for (std::size_t i = 0; i < script.replyPieces.size(); ++i) {
            if (i)
                pause(script.pauseMs);
            sendBytes(fd, script.replyPieces[i]);
        }
    }

    void associate(int fd, const Script &script)
    {
        pause(script.associateDelayMs);
        const std::uint8_t high = std::uint8_t(m_udpPort >> 8);
        const std::uint8_t low = std::uint8_t(m_udpPort);
        if (script.bound == Bound::Ipv6) {
            Bytes reply = {0x05, 0x00, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, high, low};
            sendBytes(fd, reply);
            return;
        }
        const std::uint8_t first = script.bound == Bound::Unspecified ? 0 : 127;
        const std::uint8_t last = script.bound == Bound::Unspecified ? 0 : 1;
        // Counted before the reply: the client may use the association at once.
        ++m_associations;
        sendBytes(fd, {0x05, 0x00, 0x00, 0x01, first, 0, 0, last, high, low});
    }

    void relay()
    {
        std::uint8_t datagram[65536];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(m_udp, datagram, sizeof datagram, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 10)
            return;
        locked([&] {
            m_payloads.emplace_back(reinterpret_cast<char *>(datagram) + 10, std::size_t(n - 10));
            m_addresses.push_back((std::uint32_t(datagram[4]) << 24) | (std::uint32_t(datagram[5]) << 16) |
                                  (std::uint32_t(datagram[6]) << 8) | datagram[7]);
        });
        auto sendTo = [&](int socket, const std::uint8_t *bytes, std::size_t size) {
            ::sendto(socket, bytes, size, 0, reinterpret_cast<sockaddr *>(&from), length);
        };
        if (m_relayOptions.shortDatagramFirst && !m_sentShort.exchange(true))
            sendTo(m_udp, datagram, 9);
        if (m_relayOptions.junkFirst && !m_sentJunk.exchange(true)) {
            Bytes junk(datagram, datagram + 10);
            junk.insert(junk.end(), {'j', 'u', 'n', 'k'});
            sendTo(m_udp, junk.data(), 9);
            junk[3] = 7;
            sendTo(m_udp, junk.data(), junk.size());
            junk[3] = 1;
            junk[2] = 1;
            sendTo(m_udp, junk.data(), junk.size());
        }
        if (m_relayOptions.strangerFirst) {
            Bytes forged(datagram, datagram + 10);
            forged.insert(forged.end(), {'f', 'o', 'r', 'g', 'e', 'd'});
            sendTo(m_stranger, forged.data(), forged.size());
        }
        sendTo(m_udp, datagram, std::size_t(n));
    }

    void acceptOne()
    {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        const std::size_t index = std::size_t(m_connections.fetch_add(1));
        const Script &script = m_scripts[std::min(index, m_scripts.size() - 1)];
        const bool keep = converse(fd, script);
        if (!keep)
            ::close(fd);
        locked([&] { m_controls.push_back({keep ? fd : -1, !keep}); });
    }

    // Watches the earlier connections for the client's close.
    void watchControls(const std::vector<pollfd> &watched)
    {
        std::uint8_t sink[512];
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (!(watched[i].revents & (POLLIN | POLLHUP | POLLERR)) || ::recv(watched[i].fd, sink, sizeof sink, 0) > 0)
                continue;
            ::close(watched[i].fd);
            locked([&] {
                for (Control &control : m_controls)
                    if (control.fd == watched[i].fd)
                        control = {-1, true};
            });
        }
    }

    void serve()
    {
        while (!m_stop) {
            if (m_endRequested.exchange(false))
                locked([&] {
                    for (Control &control : m_controls)
                        if (control.fd >= 0)
                            ::close(std::exchange(control.fd, -1));
                });
            std::vector<pollfd> watched;
            locked([&] {
                for (const Control &control : m_controls)
                    if (control.fd >= 0)
                        watched.push_back({control.fd, POLLIN, 0});
            });
            std::vector<pollfd> all = watched;
            all.push_back({m_listen, POLLIN, 0});
            all.push_back({m_udp, POLLIN, 0});
            if (poll(all.data(), all.size(), 20) <= 0)
                continue;
            std::copy(all.begin(), all.begin() + std::ptrdiff_t(watched.size()), watched.begin());
            watchControls(watched);
            if (all[watched.size()].revents & POLLIN)
                acceptOne();
            if (all[watched.size() + 1].revents & POLLIN)
                relay();
        }
    }

    std::vector<Script> m_scripts;
    RelayOptions m_relayOptions;
    int m_listen = -1;
    int m_udp = -1;
    int m_stranger = -1;
    std::uint16_t m_port = 0;
    std::uint16_t m_udpPort = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_endRequested{false};
    std::atomic<bool> m_sentShort{false};
    std::atomic<bool> m_sentJunk{false};
    std::atomic<int> m_connections{0};
    std::atomic<int> m_associations{0};
    mutable std::mutex m_mutex;
    std::vector<Control> m_controls;
    Bytes m_greeting;
    std::vector<Bytes> m_requests;
    std::vector<std::string> m_payloads;
    std::vector<std::uint32_t> m_addresses;
};
