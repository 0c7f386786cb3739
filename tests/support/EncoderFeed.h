#pragma once
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QtTest>

#include <atomic>
#include <functional>

// Plays the encoder writing into the relay's local TCP port.
namespace EncoderFeed {
constexpr int kWaitMs = 20000;

inline QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// Connects once the relay has published its local port.
inline bool connect(QTcpSocket &encoder, const std::atomic<int> &listenPort)
{
    if (!QTest::qWaitFor([&] { return listenPort >= 1; }, kWaitMs))
        return false;
    encoder.connectToHost(QHostAddress::LocalHost, quint16(listenPort.load()));
    return encoder.waitForConnected(kWaitMs);
}

inline bool writeAll(QTcpSocket &encoder, const QByteArray &bytes)
{
    encoder.write(bytes);
    while (encoder.bytesToWrite() > 0) {
        if (!encoder.waitForBytesWritten(kWaitMs))
            return false;
    }
    return true;
}

// Writes in slices with a pause after each (spent in `meanwhile` when given),
// then closes the connection as the writer does on Stop.
inline bool stream(QTcpSocket &encoder, const QByteArray &payload, int slice, int pauseMs,
                   const std::function<void(int)> &meanwhile = {})
{
    for (int offset = 0; offset < payload.size(); offset += slice) {
        if (!writeAll(encoder, payload.mid(offset, slice)))
            return false;
        meanwhile ? meanwhile(pauseMs) : QTest::qWait(pauseMs);
    }
    encoder.disconnectFromHost();
    return true;
}
}
