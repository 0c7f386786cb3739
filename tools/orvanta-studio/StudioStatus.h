#pragma once
#include <QByteArray>
#include <mutex>
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
        QString record;  // media: the recording's file name in the record folder
        int latency = 0;
        int mss = 0;
        bool connected = true;
        qint64 bytes = 0;
        qint64 messages = 0;
        qint64 lostMessages = 0;  // skipped in the sender's message numbers: dropped as too late
        qint64 sentBytes = 0;     // feedback: handed to libsrt for the receiver
        qint64 droppedBytes = 0;  // feedback: not delivered to the receiver
        qint64 firstMs = -1;
        qint64 lastMs = -1;
    };

    int addStream(const Stream &stream);
    void addReceived(int key, qint64 bytes, qint64 messages, qint64 lostMessages, qint64 nowMs);
    // Feedback totals so far (they replace the earlier ones).
    void setSent(int key, qint64 sentBytes, qint64 droppedBytes);
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

    mutable std::mutex m_mutex;
    std::map<int, Stream> m_streams;
    std::deque<Arrow> m_arrows;
    int m_nextKey = 1;
    qint64 m_rejected = 0;
};
