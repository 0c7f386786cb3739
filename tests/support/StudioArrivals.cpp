#include "StudioArrivals.h"

#include "StudioProcess.h"

#include <QJsonDocument>
#include <QtTest>

#include <chrono>

namespace {
constexpr int kStatusTimeoutMs = 1000;

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}

StudioArrivals::StudioArrivals(const StudioProcess &studio, const QString &id) : m_studio(studio), m_id(id)
{
    m_thread = std::thread([this] { follow(); });
}

StudioArrivals::~StudioArrivals()
{
    m_stop = true;
    m_thread.join();
}

qint64 StudioArrivals::bytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

double StudioArrivals::kbitsPerSecond() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 spanNs = m_lastNs - m_firstNs;
    return spanNs > 0 ? (m_bytes - m_firstBytes) * 8.0 / 1000.0 / (spanNs / 1e9) : 0.0;
}

bool StudioArrivals::waitForBytes(qint64 count, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return bytes() >= count; }, timeoutMs);
}

// Asks as often as the server answers: the times are as exact as one request.
void StudioArrivals::follow()
{
    while (!m_stop) {
        const QByteArray reply = m_studio.httpGet(QStringLiteral("/status"), nullptr, kStatusTimeoutMs);
        const QJsonObject stream =
            StudioProcess::findStream(QJsonDocument::fromJson(reply).object(), m_id, QStringLiteral("speedtest"));
        note(qint64(stream.value(QStringLiteral("bytes")).toDouble()), steadyNs());
    }
}

void StudioArrivals::note(qint64 bytes, qint64 nowNs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (bytes > 0 && m_firstNs < 0) {
        m_firstBytes = bytes;
        m_firstNs = nowNs;
    }
    if (bytes > m_bytes) {
        m_lastNs = nowNs;
        m_bytes = bytes;
    }
}
