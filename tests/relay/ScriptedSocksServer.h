#pragma once
// A SOCKS5 server on loopback that answers with scripted bytes, for the reply
// cases a real proxy will not produce on demand: one script per successive
// connection. It records what the client sent on the last conversation and
// which connections the client closed.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class ScriptedSocksServer {
public:
    using Bytes = std::vector<std::uint8_t>;

    struct Script {
        Bytes greetingReply = {0x05, 0x00};
        // Sent in order after the request, with pauseMs between the pieces.
        std::vector<Bytes> replyPieces = {{0x05, 0x00, 0x00, 0x01, 127, 0, 0, 1, 0x1F, 0x90}};
        int pauseMs = 0;
        // Accept, then never answer anything.
        bool silent = false;
    };

    explicit ScriptedSocksServer(Script script) : ScriptedSocksServer(std::vector<Script>{std::move(script)}) {}

    explicit ScriptedSocksServer(std::vector<Script> scripts) : m_scripts(std::move(scripts))
    {
        m_closed = std::vector<std::atomic<bool>>(m_scripts.size());
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listen, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        listen(m_listen, 4);
        socklen_t len = sizeof sa;
        getsockname(m_listen, reinterpret_cast<sockaddr *>(&sa), &len);
        m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this] { serve(); });
    }

    ~ScriptedSocksServer()
    {
        m_stop = true;
        m_thread.join();
        close(m_listen);
    }

    std::uint16_t port() const { return m_port; }
    Bytes greeting() const { std::lock_guard l(m_mutex); return m_greeting; }
    Bytes request() const { std::lock_guard l(m_mutex); return m_request; }
    // The client closed connection number index (waits up to timeoutMs).
    bool waitForClientClose(int timeoutMs, std::size_t index = 0) const
    {
        for (int i = 0; i < timeoutMs / 10 && !m_closed[index]; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return m_closed[index];
    }

private:
    // Reads exactly n bytes, giving up when stopped or after 5 s.
    bool readExact(int fd, std::uint8_t *out, std::size_t n)
    {
        std::size_t got = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got < n && !m_stop && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t r = recv(fd, out + got, n - got, 0);
            if (r <= 0)
                return false;
            got += std::size_t(r);
        }
        return got == n;
    }

    // Accepts the scripted connections one after another while watching the
    // earlier ones for the client's close; bounded by the destructor's stop.
    void serve()
    {
        std::vector<int> fds;
        std::size_t next = 0;
        std::uint8_t sink[512];
        while (!m_stop) {
            std::vector<pollfd> watch;
            for (int fd : fds)
                watch.push_back({fd, POLLIN, 0});
            if (next < m_scripts.size())
                watch.push_back({m_listen, POLLIN, 0});
            if (poll(watch.data(), watch.size(), 20) <= 0)
                continue;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i] < 0 || !(watch[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                if (recv(fds[i], sink, sizeof sink, 0) <= 0) {
                    m_closed[i] = true;
                    close(fds[i]);
                    fds[i] = -1;
                }
            }
            if (next < m_scripts.size() && (watch.back().revents & POLLIN)) {
                const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0)
                    continue;
                if (!m_scripts[next].silent)
                    converse(fd, m_scripts[next]);
                fds.push_back(fd);
                ++next;
            }
        }
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }

    void converse(int fd, const Script &script)
    {
        Bytes greeting(3);
        if (!readExact(fd, greeting.data(), 3))
            return;
        { std::lock_guard l(m_mutex); m_greeting = greeting; }
        send(fd, script.greetingReply.data(), script.greetingReply.size(), MSG_NOSIGNAL);
        if (script.greetingReply != Bytes{0x05, 0x00})
            return;
        Bytes request(5);
        if (!readExact(fd, request.data(), 5))
            return;
        const std::size_t rest = request[3] == 1 ? 5 : request[3] == 4 ? 17 : std::size_t(request[4]) + 2;
        request.resize(5 + rest);
        if (!readExact(fd, request.data() + 5, rest))
            return;
        { std::lock_guard l(m_mutex); m_request = request; }
        for (std::size_t i = 0; i < script.replyPieces.size(); ++i) {
            if (i && script.pauseMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(script.pauseMs));
            send(fd, script.replyPieces[i].data(), script.replyPieces[i].size(), MSG_NOSIGNAL);
        }
    }

    std::vector<Script> m_scripts;
    std::vector<std::atomic<bool>> m_closed;
    int m_listen = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    Bytes m_greeting;
    Bytes m_request;
};
