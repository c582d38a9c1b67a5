#pragma once
// Reverse-path filtering on the pre-TUN interface. Direct connections leave
// through that interface with SO_BINDTODEVICE while the split routes send
// everything else into the tunnel; a strict filter (1) would then drop their
// replies, because the route back to the sender points into the tunnel. While
// the TUN mode runs, a strict filter is made loose (2) and put back at stop.
// The effective value is the higher of "all" and the interface's own, so
// setting the interface to 2 suffices even when "all" is 1.
//
// While loosened, the interface name and its original value are recorded in
// the TUN state file as well, so a daemon that was killed can put the filter
// back at its next start (undoRecord).

#include <cstdint>
#include <string>

class ReversePathFilter {
public:
    static constexpr int kStrict = 1;
    static constexpr int kLoose = 2;

    ReversePathFilter() = default;
    ~ReversePathFilter();
    ReversePathFilter(const ReversePathFilter &) = delete;
    ReversePathFilter &operator=(const ReversePathFilter &) = delete;

    // Makes a strict filter on the interface loose, remembering the value it had.
    // True when the filter on it is loose or off afterwards. A second call for
    // another interface restores the first one.
    bool loosen(std::uint32_t interfaceIndex);
    // Puts back what loosen changed; idempotent.
    void restore();

    static constexpr const char *kRecordKind = "rp-filter";
    // Puts back a filter that a killed run left loose, as its record says. A
    // filter no longer loose was changed by someone else since and is left
    // alone. True when a value was put back.
    static bool undoRecord(const std::string &record);

    // The value of net.ipv4.conf.<name>.rp_filter, -1 when it cannot be read.
    static int readValue(const std::string &interfaceName);
    static int effectiveValue(const std::string &interfaceName);

    bool changed() const { return m_changed; }
    const std::string &interfaceName() const { return m_interfaceName; }

private:
    std::string m_interfaceName;
    int m_original = -1;
    bool m_changed = false;
};
