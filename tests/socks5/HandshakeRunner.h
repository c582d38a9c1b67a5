#pragma once
// Runs handshakes of the asynchronous SOCKS5 client on a completion port of
// its own with two workers, and waits for each result.

#include "base/CompletionDispatcher.h"
#include "base/CompletionPort.h"
#include "socks5/AsyncSocksClient.h"

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <vector>

class HandshakeRunner {
public:
    HandshakeRunner()
    {
        m_port.create();
        m_socks.attach(m_dispatcher);
        m_dispatcher.start(2);
    }
    ~HandshakeRunner()
    {
        m_dispatcher.stop();
        m_socks.cancelAll();
        for (int socket : m_sockets)
            m_port.closeSocket(socket);
        m_port.close();
        m_socks.releaseRecords();
    }

    AsyncSocksClient &socks() { return m_socks; }
    CompletionPort &port() { return m_port; }

    // Starts a handshake; its future result, or nothing when it did not start.
    std::optional<std::future<AsyncSocksClient::Result>> start(AsyncSocksClient::Request request,
                                                               std::uint64_t *id = nullptr)
    {
        auto promise = std::make_shared<std::promise<AsyncSocksClient::Result>>();
        std::future<AsyncSocksClient::Result> future = promise->get_future();
        const std::uint64_t started = m_socks.startProxyConnect(
            std::move(request), [promise](AsyncSocksClient::Result &&result) { promise->set_value(std::move(result)); });
        if (id)
            *id = started;
        if (started == 0)
            return std::nullopt;
        return future;
    }

    // Runs one handshake to its end; nothing when it did not start. A socket
    // handed over is closed with the runner.
    std::optional<AsyncSocksClient::Result> run(AsyncSocksClient::Request request)
    {
        auto future = start(std::move(request));
        if (!future || future->wait_for(std::chrono::seconds(20)) != std::future_status::ready)
            return std::nullopt;
        AsyncSocksClient::Result result = future->get();
        if (result.socket >= 0)
            m_sockets.push_back(result.socket);
        return result;
    }

private:
    CompletionPort m_port;
    CompletionDispatcher m_dispatcher{m_port};
    AsyncSocksClient m_socks{m_port};
    std::vector<int> m_sockets;
};
