#include "media/engine/EchoReference.h"

#include <algorithm>

namespace mf {

namespace {
constexpr quint64 kKeptLength = quint64(EchoReference::kSampleRate) * EchoReference::kKeptMs / 1000;
}

std::shared_ptr<EchoReference> EchoReference::shared()
{
    static const std::shared_ptr<EchoReference> reference(new EchoReference);  // the constructor is private
    return reference;
}

EchoReference::EchoReference() : m_ring(size_t(kKeptLength) * kChannels, 0) {}

void EchoReference::played(const int16_t *interleaved, int length, qint64 latencyUs)
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < length; ++i, ++m_written) {
        const size_t at = size_t(m_written % kKeptLength) * kChannels;
        std::copy_n(interleaved + size_t(i) * kChannels, kChannels, m_ring.begin() + long(at));
    }
    if (latencyUs >= 0) {
        m_latencyUs = latencyUs;
        m_writtenThen = m_written;
        m_writtenAt = now;
    }
}

// What was written then is heard once the latency has passed; since then the
// speaker has moved on at the rate.
double EchoReference::heardAt(std::chrono::steady_clock::time_point at) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const double since = std::chrono::duration<double>(at - m_writtenAt).count();
    return double(m_writtenThen) - (double(m_latencyUs) * 1e-6 - since) * kSampleRate;
}

void EchoReference::frameAt(qint64 position, int16_t *frame) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 oldest = m_written > kKeptLength ? qint64(m_written - kKeptLength) : 0;
    for (int i = 0; i < kFrameLength; ++i) {
        const qint64 at = position + i;
        int16_t *out = frame + size_t(i) * kChannels;
        if (at < oldest || at >= qint64(m_written))
            std::fill_n(out, kChannels, int16_t(0));
        else
            std::copy_n(m_ring.begin() + long(size_t(quint64(at) % kKeptLength) * kChannels), kChannels, out);
    }
}

} // namespace mf
