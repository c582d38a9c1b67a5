#include "tests/tun/e2e/TunTopology.h"

#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {
// The upstream peers: one HTTP server and one raw TCP service.
constexpr const char *kPeerScript = R"PY(
import hashlib, http.server, os, socket, socketserver, sys, threading
root, log = sys.argv[1], sys.argv[2]
lock = threading.Lock()
def note(text):
    with lock:
        with open(log, "a") as f:
            f.write(text + "\n")
class Http(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def __init__(self, *a, **k):
        super().__init__(*a, directory=root, **k)
    def log_message(self, *a):
        pass
    def do_GET(self):
        note("GET %s %s" % (self.path, self.client_address[0]))
        if self.path == "/whoami":
            body = self.client_address[0].encode()
            self.send_response(200); self.send_header("Content-Length", str(len(body))); self.end_headers()
            self.wfile.write(body); return
        super().do_GET()
    def do_PUT(self):
        note("PUT %s %s" % (self.path, self.client_address[0]))
        left = int(self.headers.get("Content-Length", "0")); h = hashlib.sha256()
        while left > 0:
            chunk = self.rfile.read(min(left, 1 << 20))
            if not chunk: break
            h.update(chunk); left -= len(chunk)
        body = h.hexdigest().encode()
        self.send_response(200); self.send_header("Content-Length", str(len(body))); self.end_headers()
        self.wfile.write(body)
class Tcp(socketserver.BaseRequestHandler):
    def handle(self):
        s = self.request; line = b""
        while not line.endswith(b"\n"):
            c = s.recv(1)
            if not c: return
            line += c
        words = line.split()
        if not words:
            return
        if words[0] == b"SINK":
            total = 0; h = hashlib.sha256()
            while True:
                d = s.recv(1 << 20)
                if not d: break
                total += len(d); h.update(d)
            s.sendall(b"%d %s\n" % (total, h.hexdigest().encode()))
        elif words[0] == b"SOURCE":
            left = int(words[1]); block = b"k" * (1 << 20)
            while left > 0:
                n = min(left, len(block)); s.sendall(block[:n]); left -= n
        elif words[0] == b"ECHO":
            while True:
                d = s.recv(65536)
                if not d: break
                s.sendall(d)
        elif words[0] == b"TEN-THEN-CLOSE":
            s.sendall(b"0123456789")
class Threaded(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True; allow_reuse_address = True; request_queue_size = 1024
class ThreadedHttp(http.server.ThreadingHTTPServer):
    daemon_threads = True; request_queue_size = 1024
class UdpEcho(socketserver.BaseRequestHandler):
    def handle(self):
        data, s = self.request
        s.sendto(data, self.client_address)
class UdpWhoami(socketserver.BaseRequestHandler):
    def handle(self):
        data, s = self.request
        s.sendto(self.client_address[0].encode(), self.client_address)
class ThreadedUdp(socketserver.ThreadingMixIn, socketserver.UDPServer):
    daemon_threads = True
class Threaded6(Threaded):
    address_family = socket.AF_INET6
tcp6 = Threaded6(("fd6b::2", 9000), Tcp)
threading.Thread(target=tcp6.serve_forever, daemon=True).start()
udp = ThreadedUdp(("198.18.0.10", 7), UdpEcho)
threading.Thread(target=udp.serve_forever, daemon=True).start()
for address in ("198.18.0.10", "198.18.0.53"):
    whoami = ThreadedUdp((address, 8), UdpWhoami)
    threading.Thread(target=whoami.serve_forever, daemon=True).start()
tcp = Threaded(("198.18.0.10", 9000), Tcp)
threading.Thread(target=tcp.serve_forever, daemon=True).start()
ThreadedHttp(("198.18.0.10", 80), Http).serve_forever()
)PY";

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
} // namespace

TunTopology::TunTopology() : m_net("kt6")
{
    if (!m_net.ok()) {
        m_error = m_net.error();
        return;
    }
    char dir[] = "/tmp/kest-tun-e2e-XXXXXX";
    if (!mkdtemp(dir)) {
        m_error = "mkdtemp failed";
        return;
    }
    m_dir = dir;
    m_ok = build();
}

TunTopology::~TunTopology()
{
    stopContainer();
    killProxy();
    // The fixture kills and reaps what it spawned; files go afterwards.
    std::error_code ignored;
    if (!m_etcNetns.empty())
        std::filesystem::remove_all(m_etcNetns, ignored);
    if (!m_dir.empty())
        std::filesystem::remove_all(m_dir, ignored);
}

bool TunTopology::build()
{
    const std::string inFar = "ip -n " + far() + " ";
    for (const char *address : {kServer, kDnsServer, kProxyExit, kDirectPortExit}) {
        if (m_net.run(far(), std::string("ip addr add ") + address + "/32 dev lo").exitCode != 0) {
            m_error = "cannot add upstream addresses";
            return false;
        }
    }
    if (m_net.run(near(), std::string("ip addr add ") + kNearIpv6 + "/64 dev a0 nodad").exitCode != 0 ||
        m_net.run(far(), std::string("ip addr add ") + kFarIpv6 + "/64 dev b0 nodad").exitCode != 0) {
        m_error = "cannot add the veth's IPv6 addresses";
        return false;
    }
    // dante resolves CONNECT names through the upstream dnsmasq.
    m_etcNetns = "/etc/netns/" + far();
    std::filesystem::create_directories(m_etcNetns);
    std::ofstream(m_etcNetns + "/resolv.conf") << "nameserver " << kDnsServer << "\n";

    std::filesystem::create_directories(m_dir + "/www");
    std::ofstream(m_dir + "/www/index.html") << "hello through kestd\n";
    std::ofstream(m_dir + "/peers.py") << kPeerScript;
    std::ofstream(m_dir + "/dnsmasq.conf") << "no-resolv\nno-hosts\nlisten-address=" << kDnsServer
                                           << "\nbind-interfaces\naddress=/" << kHostName << "/" << kServer
                                           << "\nlog-queries\nlog-facility=" << m_dir << "/dnsmasq.log\n";
    m_net.spawn(far(), "exec python3 " + m_dir + "/peers.py " + m_dir + "/www " + m_dir + "/http.log");
    m_net.spawn(far(), "exec dnsmasq -k -C " + m_dir + "/dnsmasq.conf");
    spawnDante(kDirectPort, kDirectPortExit);
    if (!startProxy()) {
        m_error = "dante on the proxy port did not start: " + readFile(m_dir + "/danted-1080.log");
        return false;
    }
    if (!waitForPort(far(), kServer, 80) || !waitForPort(far(), kServer, kTcpServicePort) ||
        !waitForPort(far(), kProxyHost, kDirectPort)) {
        m_error = "upstream peers did not start: " + readFile(m_dir + "/danted-1081.log");
        return false;
    }
    return true;
}

int TunTopology::spawnDante(int port, const char *exitAddress)
{
    const std::string base = m_dir + "/danted-" + std::to_string(port);
    std::ofstream(base + ".conf") << "logoutput: " << base << ".log\n"
                                  << "internal: " << kProxyHost << " port = " << port << "\n"
                                  << "external: " << exitAddress << "\n"
                                  << "clientmethod: none\nsocksmethod: none\n"
                                  << "user.privileged: root\nuser.unprivileged: nobody\n"
                                  << "client pass {\n  from: 0.0.0.0/0 to: 0.0.0.0/0\n  log: error\n}\n"
                                  << "socks pass {\n  from: 0.0.0.0/0 to: 0.0.0.0/0\n"
                                  << "  command: connect udpassociate bindreply udpreply\n  log: error\n}\n";
    // ip netns exec gives dante the namespace's resolv.conf.
    return m_net.spawn(far(), "exec ip netns exec " + far() + " /usr/sbin/danted -f " + base + ".conf -p " + base +
                                  ".pid -N 1");
}

bool TunTopology::startProxy()
{
    if (m_proxyPid > 0)
        return true;
    m_proxyPid = spawnDante(kProxyPort, kProxyExit);
    return m_proxyPid > 0 && waitForPort(far(), kProxyHost, kProxyPort);
}

// The pids whose parent is one of the given ones, found in /proc.
static std::vector<int> childrenOf(const std::vector<int> &parents)
{
    std::vector<int> children;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = readFile(entry.path().string() + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 2));
        char state = 0;
        int parent = 0;
        fields >> state >> parent;
        for (int p : parents)
            if (parent == p)
                children.push_back(std::stoi(name));
    }
    return children;
}

void TunTopology::killProxy()
{
    if (m_proxyPid <= 0)
        return;
    // As a crash: the dante mother and every helper process it forked, by pid,
    // so that no helper keeps relaying an open connection.
    // Stopped first, so that no helper is forked between the listing and the kill.
    auto tree = [this] {
        std::vector<int> all{m_proxyPid};
        for (std::vector<int> level = childrenOf(all); !level.empty(); level = childrenOf(level))
            all.insert(all.end(), level.begin(), level.end());
        return all;
    };
    kill(m_proxyPid, SIGSTOP);
    for (int pid : tree())
        kill(pid, SIGSTOP);
    for (int pid : tree())
        kill(pid, SIGKILL);
    waitpid(m_proxyPid, nullptr, 0);
    m_proxyPid = -1;
    for (int i = 0; i < 50; ++i) {
        if (m_net.run(near(), std::string("timeout 1 bash -c 'echo > /dev/tcp/") + kProxyHost + "/" +
                                  std::to_string(kProxyPort) + "' 2>/dev/null")
                .exitCode != 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool TunTopology::waitForPort(const std::string &ns, const std::string &host, int port)
{
    for (int i = 0; i < 100; ++i) {
        if (m_net.run(ns, "timeout 1 bash -c 'echo > /dev/tcp/" + host + "/" + std::to_string(port) + "' 2>/dev/null")
                .exitCode == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

std::string TunTopology::makeServedFile(const std::string &name, std::size_t bytes)
{
    const std::string path = m_dir + "/www/" + name;
    m_net.run(near(), "head -c " + std::to_string(bytes) + " /dev/urandom > " + path);
    const NetnsFixture::Result sum = m_net.run(near(), "sha256sum " + path + " | cut -d' ' -f1");
    return sum.output.substr(0, 64);
}

int TunTopology::startSilentProxy()
{
    // Accepts every connection and never answers (nor reads), like a proxy core that hangs.
    const std::string script = std::string("import socket, time\n"
                                           "s = socket.socket()\n"
                                           "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                                           "s.bind(('") + kProxyHost + "', " + std::to_string(kSilentProxyPort) +
                               "))\n"
                               "s.listen(4096)\n"
                               "held = []\n"
                               "while True:\n"
                               "    held.append(s.accept()[0])\n";
    std::ofstream(m_dir + "/silent.py") << script;
    const int pid = m_net.spawn(far(), "exec python3 " + m_dir + "/silent.py");
    return pid > 0 && waitForPort(far(), kProxyHost, kSilentProxyPort) ? pid : -1;
}

std::string TunTopology::dnsLog() const
{
    return readFile(m_dir + "/dnsmasq.log");
}

std::string TunTopology::httpLog() const
{
    return readFile(m_dir + "/http.log");
}

bool TunTopology::startContainer()
{
    if (!m_container.empty())
        return true;
    const std::string name = near() + "c";
    const std::string forwarding = "net.ipv4.ip_forward";
    m_forwardingBefore = m_net.run(near(), "sysctl -n " + forwarding).output.substr(0, 1);
    const std::string setUp = "ip netns add " + name + " && ip link add " + kContainerVeth +
                              " type veth peer name c1 netns " + name + " && ip addr add " + kContainerGateway +
                              "/24 dev " + kContainerVeth + " && ip link set " + kContainerVeth +
                              " up && sysctl -q -w " + forwarding + "=1 && echo ok";
    const bool made = m_net.run(near(), setUp).output == "ok\n";
    m_container = name;
    if (!made || m_net.run(name, std::string("ip link set lo up && ip addr add ") + kContainerAddress +
                                     "/24 dev c1 && ip link set c1 up && ip route add default via " +
                                     kContainerGateway + " && echo ok")
                         .output != "ok\n") {
        stopContainer();
        return false;
    }
    return true;
}

void TunTopology::stopContainer()
{
    if (m_container.empty())
        return;
    // Deleting the daemon's end takes the pair down even while a process keeps the namespace.
    m_net.run(near(), std::string("ip link del ") + kContainerVeth + " 2>/dev/null; ip netns del " + m_container +
                          " 2>/dev/null; sysctl -q -w net.ipv4.ip_forward=" +
                          (m_forwardingBefore.empty() ? std::string("0") : m_forwardingBefore));
    m_container.clear();
}
