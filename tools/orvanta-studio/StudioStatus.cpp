#include "StudioStatus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

int StudioStatus::addStream(const Stream &stream)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const int key = m_nextKey++;
    m_streams[key] = stream;
    trimHistory();
    return key;
}

void StudioStatus::trimHistory()
{
    for (auto it = m_streams.begin(); m_streams.size() > kMaxStreams && it != m_streams.end();) {
        if (it->second.connected)
            ++it;
        else
            it = m_streams.erase(it);
    }
}

void StudioStatus::addReceived(int key, qint64 bytes, qint64 messages, qint64 lostMessages, qint64 nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_streams.find(key);
    // An empty read says nothing about when data flowed: the rate spans
    // the first to the last byte, not the connection's life.
    if (it == m_streams.end() || bytes <= 0)
        return;
    it->second.bytes += bytes;
    it->second.messages += messages;
    it->second.lostMessages += lostMessages;
    if (it->second.firstMs < 0)
        it->second.firstMs = nowMs;
    it->second.lastMs = nowMs;
}

void StudioStatus::setSent(int key, qint64 sentBytes, qint64 droppedBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_streams.find(key);
    if (it == m_streams.end())
        return;
    it->second.sentBytes = sentBytes;
    it->second.droppedBytes = droppedBytes;
}

void StudioStatus::setDisconnected(int key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_streams.find(key);
    if (it != m_streams.end())
        it->second.connected = false;
    trimHistory();
}

StudioStatus::Stream StudioStatus::stream(int key) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_streams.find(key);
    return it == m_streams.end() ? Stream() : it->second;
}

void StudioStatus::addArrow(const QString &id, qint32 counter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_arrows.push_back({id, counter});
    while (m_arrows.size() > kMaxArrows)
        m_arrows.pop_front();
}

void StudioStatus::countRejected()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_rejected;
}

QByteArray StudioStatus::toJson() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QJsonArray streams;
    for (const auto &entry : m_streams) {
        const Stream &s = entry.second;
        const qint64 spanMs = s.lastMs - s.firstMs;
        streams.append(QJsonObject{
            {"id", s.id},
            {"kind", s.kind},
            {"streamid", s.streamId},
            {"peer", s.peer},
            {"connected", s.connected},
            {"bytes", double(s.bytes)},
            {"messages", double(s.messages)},
            {"lost_messages", double(s.lostMessages)},
            {"sent_bytes", double(s.sentBytes)},
            {"dropped_bytes", double(s.droppedBytes)},
            {"record", s.record},
            {"latency", s.latency},
            {"mss", s.mss},
            {"mbps", spanMs > 0 ? s.bytes * 8.0 / spanMs / 1000.0 : 0.0},
        });
    }
    QJsonArray arrows;
    for (const Arrow &arrow : m_arrows) {
        arrows.append(QJsonObject{
            {"id", arrow.id},
            {"counter", arrow.counter},
            {"direction", (arrow.counter & 1) ? "right" : "left"},
        });
    }
    return QJsonDocument(QJsonObject{{"streams", streams}, {"arrows", arrows}, {"rejected", double(m_rejected)}})
        .toJson(QJsonDocument::Compact);
}
