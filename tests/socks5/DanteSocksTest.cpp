// The asynchronous SOCKS5 client against a real SOCKS5 server (Debian's
// dante-server), started on loopback with a configuration of the test's own.

#include "socks5/AsyncSocksClient.h"

#include "tests/socks5/HandshakeRunner.h"
#include "tests/support/LoopbackTools.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char *kDanted = "/usr/sbin/danted";

bool canConnect(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

// danted on 127.0.0.1, no authentication, CONNECT allowed from loopback.
class DanteServer {
public:
    // danted binds its port itself: a port taken by someone else between the
    // probe and danted's bind only costs another try on a new port.
    DanteServer()
    {
        char dir[] = "/tmp/kest-dante-XXXXXX";
        if (!mkdtemp(dir))
            return;
        m_dir = dir;
        for (int attempt = 0; attempt < 3 && !ready(); ++attempt) {
            stop();
            launch();
        }
    }

    ~DanteServer()
    {
        stop();
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir);
    }

    bool ready() const { return m_pid > 0 && canConnect(m_port); }
    std::uint16_t port() const { return m_port; }
    std::string log() const
    {
        std::ifstream in(m_dir / "danted.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    void launch()
    {
        std::uint16_t port = 0;
        ::close(listenOnLoopback(&port));
        m_port = port;
        std::ofstream(m_dir / "danted.conf")
            << "logoutput: " << (m_dir / "danted.log").string() << "\n"
            << "internal: 127.0.0.1 port = " << m_port << "\n"
            << "external: 127.0.0.1\n"
            << "clientmethod: none\nsocksmethod: none\n"
            << "user.privileged: root\nuser.unprivileged: nobody\n"
            << "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  log: error\n}\n"
            << "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  command: connect\n  log: error\n}\n";
        const std::string conf = (m_dir / "danted.conf").string();
        const std::string pidFile = (m_dir / "danted.pid").string();
        m_pid = fork();
        if (m_pid == 0) {
            execl(kDanted, "danted", "-f", conf.c_str(), "-p", pidFile.c_str(), "-N", "1",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        for (int i = 0; i < 100 && !canConnect(m_port); ++i) {
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) { // it could not bind: someone took the port
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    void stop()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status;
            bool reaped = false;
            for (int i = 0; i < 60 && !reaped; ++i) {
                reaped = waitpid(m_pid, &status, WNOHANG) == m_pid;
                if (!reaped)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            if (!reaped) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
            }
        }
        m_pid = -1;
    }

    std::filesystem::path m_dir;
    std::uint16_t m_port = 0;
    pid_t m_pid = -1;
};

// Accepts one connection on 127.0.0.1 and echoes it until the peer closes
// or the server is destroyed.
class EchoServer {
public:
    EchoServer()
    {
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
    ~EchoServer()
    {
        m_stop = true;
        m_thread.join();
        close(m_listen);
    }
    std::uint16_t port() const { return m_port; }

private:
    void serve()
    {
        int fd = -1;
        while (!m_stop && fd < 0) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 20) > 0)
                fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        }
        char buf[4096];
        while (fd >= 0 && !m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            send(fd, buf, std::size_t(n), MSG_NOSIGNAL);
        }
        if (fd >= 0)
            close(fd);
    }

    int m_listen = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Over a socket made blocking (the client hands it over non-blocking).
std::string echoThrough(int fd, const std::string &text)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size()))
        return "<send failed>";
    std::string got;
    char buf[256];
    while (got.size() < text.size()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0)
            break;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, std::size_t(n));
    }
    return got;
}

class DanteSocksTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "dante-server tests need root (danted drops privileges to nobody)";
        if (access(kDanted, X_OK) != 0)
            GTEST_SKIP() << "dante-server is not installed (" << kDanted << " missing)";
        m_dante = std::make_unique<DanteServer>();
        ASSERT_TRUE(m_dante->ready()) << "danted did not start: " << m_dante->log();
    }
    std::unique_ptr<DanteServer> m_dante;
};

} // namespace

namespace {
AsyncSocksClient::Request throughDante(std::uint16_t dantePort, std::uint16_t destinationPort,
                                       const std::string &name = {})
{
    AsyncSocksClient::Request request;
    request.server = Endpoint::fromIpv4(0x7F000001, dantePort);
    request.destination = Endpoint::fromIpv4(0x7F000001, destinationPort);
    request.hostName = name;
    return request;
}
} // namespace

TEST_F(DanteSocksTest, ConnectByAddressCarriesDataBothWays)
{
    EchoServer echo;
    HandshakeRunner runner;
    const auto result = runner.run(throughDante(m_dante->port(), echo.port()));
    ASSERT_TRUE(result && result->ok()) << m_dante->log();
    EXPECT_EQ(echoThrough(result->socket, "ping through dante"), "ping through dante");
    const std::string big(200000, 'x');
    EXPECT_EQ(echoThrough(result->socket, big).size(), big.size());
}

TEST_F(DanteSocksTest, ConnectByNameCarriesData)
{
    EchoServer echo;
    HandshakeRunner runner;
    const auto result = runner.run(throughDante(m_dante->port(), echo.port(), "localhost"));
    ASSERT_TRUE(result && result->ok()) << m_dante->log();
    EXPECT_EQ(echoThrough(result->socket, "by name"), "by name");
}

TEST_F(DanteSocksTest, RefusedDestinationReportsTheProxysReplyCode)
{
    HandshakeRunner runner;
    std::uint16_t closedPort = 0;
    const int closed = refusingLoopbackSocket(&closedPort);
    const auto result = runner.run(throughDante(m_dante->port(), closedPort));
    ::close(closed);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->failure, AsyncSocksClient::Failure::RequestRejected);
    EXPECT_NE(result->code, 0);
}
