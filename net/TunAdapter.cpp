#include "net/TunAdapter.h"

#include "net/InterfaceConfig.h"
#include "net/Netlink.h"
#include "net/TunRing.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDebug>
#include <QString>

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr const char *kIdentityPrefix = "wintun";
constexpr const char *kHashedNamePrefix = "kest";

QString text(const std::string &value)
{
    return QString::fromStdString(value);
}

bool validInterfaceName(const std::string &name)
{
    if (name.empty() || name.size() > TunAdapter::kMaxInterfaceName || name == "." || name == "..")
        return false;
    for (unsigned char c : name)
        if (c <= ' ' || c == '/' || c == ':' || c >= 0x7f)
            return false;
    return true;
}

// The running kernel stands for the TUN driver version.
std::pair<int, int> kernelVersion()
{
    utsname info{};
    int major = 0, minor = 0;
    if (uname(&info) == 0)
        std::sscanf(info.release, "%d.%d", &major, &minor);
    return {major, minor};
}

// Checksum offload and TCP segmentation for both families (ECN included). UDP
// segmentation stays off: the UDP paths take one datagram at a time, and the
// kernel cuts UDP super-packets itself when the device does not take them.
constexpr unsigned kOffloadFlags = TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO6 | TUN_F_TSO_ECN;

// A device that is going away reports EBADF or EIO.
bool deviceGone(int error)
{
    return error == EBADF || error == EIO;
}

} // namespace

namespace {
bool switchedOn(const char *name)
{
    const char *value = std::getenv(name);
    return value == nullptr || std::strcmp(value, "0") != 0;
}
} // namespace

bool TunAdapter::offloadSwitchedOn()
{
    return switchedOn(kOffloadSwitch);
}

TunAdapter::TunAdapter() : m_offloadWanted(offloadSwitchedOn()), m_ringWanted(switchedOn(kRingSwitch))
{
    m_stopEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

TunAdapter::~TunAdapter()
{
    stopReader();
    endSession();
    closeAdapter();
    if (m_stopEvent >= 0)
        ::close(m_stopEvent);
    m_handler = nullptr;
}

bool TunAdapter::load(const std::string &devicePath)
{
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        qCritical() << "Failed to load TUN device from" << text(devicePath) << "error:" << errno;
        return false;
    }
    if (const int previous = m_deviceFd.exchange(fd); previous >= 0)
        ::close(previous);
    m_devicePath = devicePath;
    return true;
}

std::array<std::uint8_t, 16> TunAdapter::deterministicGuid(const std::string &adapterName)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(QByteArrayView(kIdentityPrefix, 6));
    hash.addData(QByteArrayView(adapterName.data(), qsizetype(adapterName.size())));
    const QByteArray digest = hash.result();
    std::array<std::uint8_t, 16> guid{};
    std::memcpy(guid.data(), digest.constData(), guid.size());
    return guid;
}

std::string TunAdapter::guidText(const std::array<std::uint8_t, 16> &guid)
{
    // Data1..3 are little-endian in memory, as the registry form reads them.
    char buffer[40];
    std::snprintf(buffer, sizeof(buffer), "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  guid[3], guid[2], guid[1], guid[0], guid[5], guid[4], guid[7], guid[6], guid[8], guid[9], guid[10],
                  guid[11], guid[12], guid[13], guid[14], guid[15]);
    return buffer;
}

std::string TunAdapter::interfaceNameFor(const std::string &adapterName)
{
    if (validInterfaceName(adapterName))
        return adapterName;
    const auto guid = deterministicGuid(adapterName);
    std::string name = kHashedNamePrefix;
    char hex[3];
    for (std::uint8_t byte : guid) {
        std::snprintf(hex, sizeof(hex), "%02x", byte);
        name += hex;
    }
    name.resize(std::strlen(kHashedNamePrefix) + kHashedNameDigits);
    return name;
}

bool TunAdapter::openOrCreate(const std::string &adapterName, const std::string &tunnelType)
{
    (void)tunnelType; // a TUN link has no tunnel type
    const int fd = m_deviceFd.load();
    if (fd < 0 || m_created) {
        qCritical() << "TUN not initialized";
        return false;
    }
    const auto guid = deterministicGuid(adapterName);
    qDebug() << "Using deterministic GUID for adapter" << text(adapterName) << ":" << text(guidText(guid));

    const std::string name = interfaceNameFor(adapterName);
    const bool existed = if_nametoindex(name.c_str()) != 0;
    std::string attached;
    if (!attachWithOffloadIfWanted(name, &attached)) {
        const int error = errno;
        qCritical() << "Failed to create adapter" << text(adapterName) << ":" << error;
        if (error == EBUSY || error == EEXIST || error == EINVAL) {
            // A link of that name is held by another process or is not a TUN link.
            qCritical() << "  Hint: Delete orphaned adapter via link removal";
            qCritical().noquote() << QStringLiteral("  Or run: ip link delete \"%1\"").arg(text(name));
        }
        return false;
    }
    m_adapterName = adapterName;
    m_interfaceName = attached;
    m_luid = if_nametoindex(m_interfaceName.c_str());
    m_created = true;
    qDebug() << (existed ? "Opened existing TUN adapter:" : "Created new TUN adapter:") << text(adapterName);

    Netlink netlink;
    if (const int result = netlink.setLinkAlias(std::uint32_t(m_luid), adapterName); result != 0)
        qWarning() << "Failed to set the link alias of" << text(m_interfaceName) << ":" << result;
    // Before the link comes up, so that no IPv6 link-local address or traffic appears.
    const int ipv6 = writeSysctl("net/ipv6/conf/" + m_interfaceName + "/disable_ipv6", "1");
    if (ipv6 != 0 && ipv6 != ENOENT)
        qWarning() << "Failed to disable IPv6 on" << text(m_interfaceName) << ":" << ipv6;
    // Routes over a link that is down are refused, and the gateway is set before the
    // session starts: the link comes up now.
    if (const int result = netlink.setLinkUp(std::uint32_t(m_luid), true); result != 0) {
        qWarning() << "Failed to bring the TUN link up:" << result;
        return false;
    }
    m_config = std::make_unique<InterfaceConfig>(std::uint32_t(m_luid), m_interfaceName);
    const auto [major, minor] = kernelVersion();
    qDebug().nospace() << "TUN v" << major << "." << minor << " loaded";
    return true;
}

bool TunAdapter::attachLink(const std::string &name, bool withHeader, std::string *attachedName)
{
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI | (withHeader ? IFF_VNET_HDR : 0);
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(m_deviceFd.load(), TUNSETIFF, &request) != 0)
        return false;
    *attachedName = request.ifr_name;
    return true;
}

int TunAdapter::enableOffload(int fd)
{
    int headerSize = int(PacketOffload::kHeaderSize);
    int littleEndian = 1;
    if (ioctl(fd, TUNSETVNETHDRSZ, &headerSize) != 0)
        return errno;
    // Little-endian is the native order here; saying so keeps the header's
    // fields little-endian on any host. Older kernels lack the call.
    ioctl(fd, TUNSETVNETLE, &littleEndian);
    if (ioctl(fd, TUNSETOFFLOAD, static_cast<unsigned long>(kOffloadFlags)) != 0)
        return errno;
    return 0;
}

bool TunAdapter::attachWithOffloadIfWanted(const std::string &name, std::string *attachedName)
{
    m_offload = false;
    if (!m_offloadWanted) {
        qInfo() << "[TUN] Segmentation offload switched off:" << kOffloadSwitch << "=0";
        return attachLink(name, false, attachedName);
    }
    int error = 0;
    if (attachLink(name, true, attachedName)) {
        error = enableOffload(m_deviceFd.load());
        if (error == 0) {
            m_offload = true;
            qInfo() << "[TUN] Segmentation offload on (checksum, TCP segmentation for IPv4 and IPv6)";
            return true;
        }
        // The device speaks with headers once attached so: start again on a
        // fresh one (a link this device made goes away with it).
        const int fresh = ::open(m_devicePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fresh < 0)
            return false;
        if (const int previous = m_deviceFd.exchange(fresh); previous >= 0)
            ::close(previous);
    } else {
        error = errno;
        if (error == EBUSY || error == EPERM)
            return false; // not about offloads: the plain attach would fail alike
    }
    qWarning() << "[TUN] The kernel refused segmentation offload (error" << error << "): plain reads and writes";
    return attachLink(name, false, attachedName);
}

std::uint32_t TunAdapter::interfaceIndex() const
{
    char name[IF_NAMESIZE];
    if (m_luid == 0 || !if_indextoname(std::uint32_t(m_luid), name)) {
        qWarning() << "Failed to convert LUID to interface index:" << (m_luid == 0 ? ENODEV : errno);
        return 0;
    }
    return std::uint32_t(m_luid);
}

bool TunAdapter::startSession(std::uint32_t capacity)
{
    if (!m_created) {
        qWarning() << "Adapter not created";
        return false;
    }
    Netlink netlink;
    // The kernel's transmit queue of the link is the ring towards the reader.
    const std::uint32_t packets = std::max<std::uint32_t>(capacity / InterfaceConfig::kMtu, 1);
    int result = netlink.setLinkTxQueueLength(std::uint32_t(m_luid), packets);
    if (result == 0)
        result = netlink.setLinkUp(std::uint32_t(m_luid), true);
    if (result != 0) {
        qWarning() << "Failed to start session:" << result;
        return false;
    }
    m_session = true;
    return true;
}

void TunAdapter::setPacketHandler(PacketHandler handler)
{
    m_handler = std::move(handler);
}

void TunAdapter::startReader()
{
    if (m_running.load() || m_reader.joinable())
        return;
    std::uint64_t value = 0;
    while (::read(m_stopEvent, &value, sizeof(value)) > 0) {
    }
    m_running = true;
    m_reader = std::thread([this] { readerLoop(); });
}

void TunAdapter::stopReader()
{
    if (!m_reader.joinable()) {
        m_running = false;
        return;
    }
    m_running = false;
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(m_stopEvent, &one, sizeof(one));
    m_reader.join();
}

template <typename Write>
bool TunAdapter::writeWithRetry(Write write, std::uint32_t length)
{
    for (int attempt = 1;; ++attempt) {
        const ssize_t n = write();
        if (n >= 0)
            return true; // a TUN write takes the whole packet or nothing
        const int error = errno;
        if (error == EINTR) {
            --attempt;
            continue;
        }
        // Only a full queue is worth waiting for; a device that is gone (EBADF,
        // EIO) or any other error will not clear within the retry budget.
        if (error != EAGAIN && error != EWOULDBLOCK && error != ENOBUFS) {
            qWarning() << "Failed to allocate send packet:" << error;
            return false;
        }
        if (attempt >= kSendRetryLimit) {
            qWarning() << "[TUN] Send buffer full after" << kSendRetryLimit << "retries, dropping packet size="
                       << length;
            return false;
        }
        if (attempt >= 2)
            m_retryPause(std::chrono::milliseconds(attempt == 2 ? 1 : 2));
    }
}

void TunAdapter::readerLoop()
{
    const int fd = m_deviceFd.load();
    if (!m_ringWanted) {
        qInfo() << "[TUN] Packet reader on read and poll:" << kRingSwitch << "=0";
    } else {
        TunRing ring;
        if (const int refused = ring.setUp(fd, m_stopEvent, kReadBufferSize); refused != 0) {
            qWarning() << "[TUN] io_uring unavailable (error" << refused << "): packets are read after a poll";
        } else {
            qInfo() << "[TUN] Packet reader on io_uring";
            m_ring.store(&ring, std::memory_order_relaxed);
            int error = 0;
            const bool stopped = ring.run(
                [this](std::uint8_t *buffer, std::size_t length) { deliver(buffer, length); },
                [this, fd](const std::uint8_t *bytes, std::size_t length, int failure) {
                    // A full queue is waited for as a send would; other
                    // failures drop the packet as they would have there.
                    const bool full = failure == EAGAIN || failure == ENOBUFS;
                    const bool sent =
                        full && writeWithRetry([&] { return ::write(fd, bytes, length); }, std::uint32_t(length));
                    if (!full)
                        qWarning() << "Failed to allocate send packet:" << failure;
                    if (!sent && m_writeDropped)
                        m_writeDropped();
                },
                &error);
            m_ring.store(nullptr, std::memory_order_relaxed);
            if (!stopped && error != 0 && !deviceGone(error))
                qWarning() << "Packet read failed:" << error;
            return;
        }
    }
    pollLoop(fd);
}

void TunAdapter::pollLoop(int fd)
{
    std::vector<std::uint8_t> buffer(kReadBufferSize);
    pollfd wait[2] = {{fd, POLLIN, 0}, {m_stopEvent, POLLIN, 0}};
    while (m_running.load()) {
        for (;;) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n > 0) {
                deliver(buffer.data(), std::size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (n == 0 || deviceGone(errno))
                return; // the device is going away
            qWarning() << "Packet read failed:" << errno;
            return;
        }
        if (!m_running.load())
            return;
        if (poll(wait, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            qWarning() << "Packet read failed:" << errno;
            return;
        }
        if (wait[1].revents != 0)
            return;
    }
}

void TunAdapter::deliver(std::uint8_t *buffer, std::size_t length)
{
    if (!m_handler)
        return;
    if (!offloadActive()) {
        m_handler(buffer, std::uint32_t(length), PacketOffload{});
        return;
    }
    if (length <= PacketOffload::kHeaderSize)
        return;
    m_handler(buffer + PacketOffload::kHeaderSize, std::uint32_t(length - PacketOffload::kHeaderSize),
              PacketOffload::fromHeader(buffer));
}

void TunAdapter::endSession()
{
    m_session = false;
}

void TunAdapter::closeAdapter()
{
    m_config.reset(); // restores the resolver first
    const int fd = m_deviceFd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
    m_created = false;
    m_luid = 0;
}

ssize_t TunAdapter::writePacket(int fd, const std::uint8_t *packet, std::uint32_t length, const PacketOffload &offload)
{
    if (!offloadActive()) {
        if (!offload.isPlain()) {
            errno = EINVAL; // only a device with offloads takes super-packets
            return -1;
        }
        return ::write(fd, packet, length);
    }
    std::uint8_t header[PacketOffload::kHeaderSize];
    offload.toHeader(header);
    const iovec parts[2] = {{header, sizeof header}, {const_cast<std::uint8_t *>(packet), length}};
    return ::writev(fd, parts, 2);
}

bool TunAdapter::queueOnRing(const std::uint8_t *packet, std::uint32_t length, const PacketOffload &offload)
{
    TunRing *ring = TunRing::current();
    if (!ring || ring != m_ring.load(std::memory_order_relaxed))
        return false;
    const bool header = offloadActive();
    if (!header && !offload.isPlain())
        return false; // refused below, as it is without the ring
    const std::size_t before = header ? PacketOffload::kHeaderSize : 0;
    const auto start = reinterpret_cast<std::uintptr_t>(packet);
    auto *bytes = reinterpret_cast<std::uint8_t *>(start - before);
    if (start < before || !ring->holds(bytes, before + length)) {
        // Written here: the queued writes go first, so that packets keep their order.
        ring->flush();
        return false;
    }
    if (header)
        offload.toHeader(bytes);
    return ring->queueWrite(bytes, before + length);
}

bool TunAdapter::send(const std::uint8_t *packet, std::uint32_t length, const PacketOffload &offload)
{
    if (!m_session.load(std::memory_order_relaxed)) {
        qWarning() << "[TUN-SEND] No session!";
        return false;
    }
    if (queueOnRing(packet, length, offload))
        return true;
    return writeWithRetry(
        [&] { return writePacket(m_deviceFd.load(std::memory_order_relaxed), packet, length, offload); }, length);
}

bool TunAdapter::setAddress(std::uint32_t address, std::uint8_t prefixLength)
{
    if (!m_config) {
        qWarning() << "Adapter not created";
        return false;
    }
    return m_config->setAddress(address, prefixLength);
}

bool TunAdapter::setGateway(std::uint32_t gateway)
{
    if (!m_config) {
        qWarning() << "Adapter not created";
        return false;
    }
    return m_config->setGateway(gateway);
}

bool TunAdapter::setMetric(std::uint32_t metric)
{
    if (!m_config) {
        qWarning() << "Adapter not created";
        return false;
    }
    return m_config->setMetric(metric);
}

bool TunAdapter::setDnsServers(const std::string &primary, const std::string &secondary)
{
    if (!m_config) {
        qWarning() << "Adapter not created";
        return false;
    }
    return m_config->setDnsServers(primary, secondary);
}

bool TunAdapter::setIpv6DnsServers(const std::string &primary, const std::string &secondary)
{
    if (!m_config) {
        qWarning() << "Adapter not created";
        return false;
    }
    return m_config->setIpv6DnsServers(primary, secondary);
}

void TunAdapter::attachDescriptorForTests(int fd, bool withHeader)
{
    m_offload = withHeader;
    if (const int previous = m_deviceFd.exchange(fd); previous >= 0)
        ::close(previous);
    m_session = true;
}
