#include "media/engine/EchoAlignment.h"

#include <algorithm>
#include <cmath>

namespace mf {

EchoAlignment::EchoAlignment(int frameLength, int sampleRate)
    : m_frameLength(frameLength), m_tolerance(qint64(sampleRate) * kToleranceMs / 1000)
{
}

void EchoAlignment::note(qint64 heard)
{
    const qint64 residual = heard - qint64(std::llround(double(m_frames) * m_frameLength));
    if (m_frames == 0) {
        m_residuals.fill(residual);
        m_offset = residual;
    }
    m_residuals[size_t(m_frames % kMedianFrames)] = residual;
    ++m_frames;
    const qint64 now = median();
    if (std::abs(now - m_offset) > m_tolerance)
        m_offset = now;
}

qint64 EchoAlignment::median() const
{
    std::array<qint64, kMedianFrames> sorted = m_residuals;
    std::nth_element(sorted.begin(), sorted.begin() + kMedianFrames / 2, sorted.end());
    return sorted[kMedianFrames / 2];
}

} // namespace mf
