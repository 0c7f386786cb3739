#include "StudioArrivals.h"

#include "StudioProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QThread>

#include <chrono>

namespace {
constexpr int kStatusTimeoutMs = 1000;
constexpr int kPollMs = 5;

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

double StudioArrivals::kbitsPerSecond() const
{
    const qint64 spanNs = m_lastNs - m_firstNs;
    return spanNs > 0 ? (m_bytes - m_firstBytes) * 8.0 / 1000.0 / (spanNs / 1e9) : 0.0;
}

bool StudioArrivals::waitForBytes(qint64 count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_bytes < count) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, kPollMs);
        QThread::msleep(kPollMs);
    }
    return true;
}

// Asks as often as the server answers: the times are as exact as one request.
void StudioArrivals::follow()
{
    while (!m_stop) {
        const QByteArray reply = m_studio.httpGet(QStringLiteral("/status"), nullptr, kStatusTimeoutMs);
        const QJsonObject stream =
            StudioProcess::findStream(QJsonDocument::fromJson(reply).object(), m_id, QStringLiteral("speedtest"));
        const qint64 bytes = qint64(stream.value(QStringLiteral("bytes")).toDouble());
        const qint64 now = steadyNs();
        if (bytes > 0 && m_firstNs < 0) {
            m_firstBytes = bytes;
            m_firstNs = now;
        }
        if (bytes > m_bytes) {
            m_lastNs = now;
            m_bytes = bytes;
        }
    }
}
