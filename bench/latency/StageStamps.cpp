#include "StageStamps.h"

#include "media/engine/MFTestPatternSource.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>

namespace {
constexpr qint64 kPtsPerFrame = 90000 / 25;
}

const char *StageStamps::name(int stage)
{
    static const char *names[] = {"captured", "mixed", "muxed", "received", "decoded", "painted", "shown"};
    return stage >= 0 && stage < StageCount ? names[stage] : "?";
}

qint64 StageStamps::nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

qint64 StageStamps::captureTime(const QImage &picture)
{
    quint32 low = 0;
    if (!mf::MFTestPatternSource::decodeTime(picture, picture.rect(), &low))
        return -1;
    return mf::MFTestPatternSource::expandTime(low, nowMs());
}

void StageStamps::noteFrame(qint64 frameIndex, qint64 captureMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_captureByIndex[frameIndex] = captureMs;
}

void StageStamps::stamp(int stage, qint64 captureMs, qint64 atMs)
{
    if (captureMs < 0)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_rows.find(captureMs);
    if (found == m_rows.end()) {
        Row row;
        row.fill(-1);
        row[Captured] = captureMs;
        found = m_rows.emplace(captureMs, row).first;
    }
    if (found->second[stage] < 0)
        found->second[stage] = atMs;
}

void StageStamps::stampPts(int stage, qint64 pts, qint64 atMs)
{
    qint64 captureMs = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_firstPts < 0)
            m_firstPts = pts;
        const qint64 index = std::llround(double(pts - m_firstPts) / kPtsPerFrame);
        const auto found = m_captureByIndex.find(index);
        if (found == m_captureByIndex.end())
            return;
        captureMs = found->second;
    }
    stamp(stage, captureMs, atMs);
}

void StageStamps::countFrom(qint64 ms)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_countFrom = ms;
}

std::vector<double> StageStamps::sinceCapture(int stage) const
{
    return sincePrevious(stage, Captured);
}

std::vector<double> StageStamps::sincePrevious(int stage, int previous) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<double> values;
    for (const auto &entry : m_rows) {
        const Row &row = entry.second;
        if (row[Captured] < m_countFrom)
            continue;
        if (row[stage] >= 0 && row[previous] >= 0)
            values.push_back(double(row[stage] - row[previous]));
    }
    return values;
}

double StageStamps::percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}
