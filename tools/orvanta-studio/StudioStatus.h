#pragma once
#include <QByteArray>
#include <QMutex>
#include <QString>

#include <deque>
#include <map>

// What the studio has seen, shared between the SRT thread (writer) and the
// HTTP front end (reader of "/status"). History is bounded.
class StudioStatus
{
public:
    struct Stream {
        QString id;
        QString kind;
        QString streamId;
        QString peer;
        int latency = 0;
        int mss = 0;
        bool connected = true;
        qint64 bytes = 0;
        qint64 messages = 0;
        qint64 droppedBytes = 0;
        qint64 firstMs = -1;
        qint64 lastMs = -1;
    };

    int addStream(const Stream &stream);
    void addReceived(int key, qint64 bytes, qint64 messages, qint64 nowMs);
    void addDropped(int key, qint64 bytes);
    void setDisconnected(int key);
    Stream stream(int key) const;
    void addArrow(const QString &id, qint32 counter);
    void countRejected();
    QByteArray toJson() const;

    static constexpr size_t kMaxStreams = 1024;
    static constexpr size_t kMaxArrows = 4096;

private:
    struct Arrow {
        QString id;
        qint32 counter;
    };
    void trimHistory();

    mutable QMutex m_mutex;
    std::map<int, Stream> m_streams;
    std::deque<Arrow> m_arrows;
    int m_nextKey = 1;
    qint64 m_rejected = 0;
};
