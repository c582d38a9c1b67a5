#include "tun/RetransmissionTimer.h"

#include <algorithm>
#include <cstdlib>

void RetransmissionTimer::addSample(std::int64_t rttNs)
{
    rttNs = std::max<std::int64_t>(rttNs, 0);
    if (!m_hasSample) {
        m_srtt = rttNs;
        m_rttvar = rttNs / 2;
        m_hasSample = true;
    } else {
        // Alpha 1/8, beta 1/4.
        m_rttvar = (3 * m_rttvar + std::llabs(m_srtt - rttNs)) / 4;
        m_srtt = (7 * m_srtt + rttNs) / 8;
    }
    m_backoffs = 0;
    setTimeout(m_srtt + std::max(kGranularityNs, 4 * m_rttvar));
}

void RetransmissionTimer::backOff()
{
    ++m_backoffs;
    setTimeout(m_rto * 2);
}

void RetransmissionTimer::setTimeout(std::int64_t rto)
{
    m_rto = std::clamp(rto, kMinRtoNs, kMaxRtoNs);
}
