#include "StudioArrivals.h"

#include "StudioProcess.h"

#include <QJsonDocument>

namespace {
constexpr int kStatusTimeoutMs = 1000;
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

// Asks as often as the server answers: the times are as exact as one request.
void StudioArrivals::follow()
{
    while (!m_stop) {
        const QByteArray reply = m_studio.httpGet(QStringLiteral("/status"), nullptr, kStatusTimeoutMs);
        const QJsonObject stream =
            StudioProcess::findStream(QJsonDocument::fromJson(reply).object(), m_id, QStringLiteral("speedtest"));
        m_arrivals.note(StudioProcess::count(stream, "bytes"));
    }
}
