#pragma once
// A part of the tunnel that holds live flows and lists them for the connection
// listing: each source appends one entry per flow it holds, taking its own
// table lock only for the copy. The entry shares the flow's statistics, so
// its bytes and owner can be read after the lock is let go.

#include "base/Endpoint.h"
#include "relay/FlowStats.h"

#include <memory>
#include <vector>

struct FlowEntry {
    bool tcp = false;
    Endpoint source;      // the application's endpoint
    Endpoint destination; // as the application addressed it
    bool direct = false;  // leaves by the direct port or path
    std::shared_ptr<FlowStats> stats;
};

class FlowSource {
public:
    virtual ~FlowSource() = default;
    virtual void appendFlows(std::vector<FlowEntry> &flows) const = 0;
};
