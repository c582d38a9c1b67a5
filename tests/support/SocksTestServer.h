#pragma once
// A SOCKS5 server on loopback for UDP ASSOCIATE only: answers the greeting
// (or refuses it), grants an association whose relay echoes every datagram
// back under the same SOCKS5 header, as if the destination had answered.
// It can delay its reply, answer with BND.ADDR 0.0.0.0, send a short datagram
// or malformed datagrams first, have a stranger's socket send before each
// echo, and end an
// association's control connection on demand.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeUdpProxy {
public:
    struct Options {
        std::uint8_t greetingMethod = 0x00; // 0xFF refuses
        int replyDelayMs = 0;
        bool unspecifiedBoundAddress = false;
        bool shortDatagramFirst = false;
        bool silent = false; // accepts and never answers
        bool strangerFirst = false; // another socket sends "forged" (valid header) before each echo
        bool junkFirst = false; // before the first echo: 9 bytes, ATYP 7, and FRAG 1 (all "junk")
        bool ipv6BoundAddress = false; // the ASSOCIATE reply names [::1] (ATYP 4, 22 bytes)
    };

    FakeUdpProxy() : FakeUdpProxy(Options()) {}
    explicit FakeUdpProxy(Options options) : m_options(options)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        m_udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        ::bind(m_listen, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(m_listen, 16);
        m_port = localPort(m_listen);
        ::bind(m_udp, reinterpret_cast<sockaddr *>(&address), sizeof address);
        m_udpPort = localPort(m_udp);
        m_stranger = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::bind(m_stranger, reinterpret_cast<sockaddr *>(&address), sizeof address);
        m_thread = std::thread([this] { serve(); });
    }

    ~FakeUdpProxy()
    {
        m_stop = true;
        m_thread.join();
        for (int fd : m_controls)
            ::close(fd);
        ::close(m_listen);
        ::close(m_udp);
        ::close(m_stranger);
    }

    std::uint16_t port() const { return m_port; }
    int associations() const { return m_associations.load(); }
    int connections() const { return m_connections.load(); }
    // Payloads and header addresses of the datagrams received, in order.
    std::vector<std::string> payloads() const
    {
        std::lock_guard lock(m_mutex);
        return m_payloads;
    }
    std::vector<std::uint32_t> headerAddresses() const
    {
        std::lock_guard lock(m_mutex);
        return m_addresses;
    }
    // Closes every control connection (the proxy ends its associations).
    void endAssociations() { m_endRequested = true; }

private:
    static sockaddr_in loopback(std::uint16_t port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }
    static std::uint16_t localPort(int fd)
    {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        return ntohs(address.sin_port);
    }
    static bool readExact(int fd, std::uint8_t *out, std::size_t n)
    {
        std::size_t got = 0;
        while (got < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 3000) <= 0)
                return false;
            const ssize_t r = ::recv(fd, out + got, n - got, 0);
            if (r <= 0)
                return false;
            got += std::size_t(r);
        }
        return true;
    }

    void handshake(int fd)
    {
        if (m_options.silent)
            return;
        std::uint8_t buffer[16];
        if (!readExact(fd, buffer, 3))
            return;
        const std::uint8_t greeting[2] = {0x05, m_options.greetingMethod};
        ::send(fd, greeting, 2, MSG_NOSIGNAL);
        if (m_options.greetingMethod != 0 || !readExact(fd, buffer, 10))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(m_options.replyDelayMs));
        std::uint8_t reply[10] = {0x05, 0x00, 0x00, 0x01, 127, 0, 0, 1,
                                  std::uint8_t(m_udpPort >> 8), std::uint8_t(m_udpPort)};
        if (m_options.unspecifiedBoundAddress)
            reply[4] = reply[7] = 0;
        if (m_options.ipv6BoundAddress) {
            std::uint8_t reply6[22] = {0x05, 0x00, 0x00, 0x04};
            reply6[19] = 1;
            reply6[20] = std::uint8_t(m_udpPort >> 8);
            reply6[21] = std::uint8_t(m_udpPort);
            ::send(fd, reply6, sizeof reply6, MSG_NOSIGNAL);
            return;
        }
        ::send(fd, reply, sizeof reply, MSG_NOSIGNAL);
        ++m_associations;
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
        {
            std::lock_guard lock(m_mutex);
            m_payloads.emplace_back(reinterpret_cast<char *>(datagram) + 10, std::size_t(n - 10));
            m_addresses.push_back((std::uint32_t(datagram[4]) << 24) | (std::uint32_t(datagram[5]) << 16) |
                                  (std::uint32_t(datagram[6]) << 8) | datagram[7]);
        }
        if (m_options.shortDatagramFirst && !m_sentShort.exchange(true))
            ::sendto(m_udp, datagram, 9, 0, reinterpret_cast<sockaddr *>(&from), length);
        if (m_options.junkFirst && !m_sentJunk.exchange(true)) {
            std::vector<std::uint8_t> junk(datagram, datagram + 10);
            junk.insert(junk.end(), {'j', 'u', 'n', 'k'});
            ::sendto(m_udp, junk.data(), 9, 0, reinterpret_cast<sockaddr *>(&from), length);
            junk[3] = 7;
            ::sendto(m_udp, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr *>(&from), length);
            junk[3] = 1;
            junk[2] = 1;
            ::sendto(m_udp, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr *>(&from), length);
        }
        if (m_options.strangerFirst) {
            std::vector<std::uint8_t> forged(datagram, datagram + 10);
            forged.insert(forged.end(), {'f', 'o', 'r', 'g', 'e', 'd'});
            ::sendto(m_stranger, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr *>(&from), length);
        }
        ::sendto(m_udp, datagram, std::size_t(n), 0, reinterpret_cast<sockaddr *>(&from), length);
    }

    void serve()
    {
        while (!m_stop) {
            if (m_endRequested.exchange(false)) {
                for (int fd : m_controls)
                    ::close(fd);
                m_controls.clear();
            }
            pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_udp, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    ++m_connections;
                    handshake(fd);
                    m_controls.push_back(fd);
                }
            }
            if (fds[1].revents & POLLIN)
                relay();
        }
    }

    Options m_options;
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
    std::atomic<int> m_associations{0};
    std::atomic<int> m_connections{0};
    std::vector<int> m_controls;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_payloads;
    std::vector<std::uint32_t> m_addresses;
};
