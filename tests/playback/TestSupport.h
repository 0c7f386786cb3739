#pragma once
// Helpers of the playback tests: a moving picture with a tone, a loopback TCP
// receiver standing in for the relay, and ffprobe.
#include "media/engine/MFFrame.h"
#include "transport/srt/SrtSocket.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QProcess>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>


namespace testsupport {

// A frame of a moving picture with noise (so encoders need the bit rate) and
// 1764 samples of a 440 Hz stereo tone (one 25 fps frame at 44100 Hz).
mf::MFFramePtr patternFrame(int width, int height, int index);

// Accepts one connection on 127.0.0.1 and keeps everything it receives.
class TcpReceiver
{
public:
    TcpReceiver();
    ~TcpReceiver();
    int port() const { return m_port; }
    // Waits (bounded) until the peer closed the connection.
    bool waitClosed(int timeoutMs);
    QByteArray data() const;

private:
    void run();
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_closed{false};
    mutable std::mutex m_mutex;
    QByteArray m_data;
    std::thread m_thread;
};

// The studio server on free loopback ports, serving a TS file to feedback callers.
class StudioServer
{
public:
    // srtPort 0: a free one.
    explicit StudioServer(const QString &feedbackFile, int srtPort = 0, const QString &recordDir = QString());
    ~StudioServer();
    bool isRunning() const { return m_running; }
    int srtPort() const { return m_srtPort; }
    // GET /status as JSON (bounded wait).
    QJsonObject status() const;

private:
    std::unique_ptr<QProcess> m_process;
    int m_srtPort = 0;
    int m_httpPort = 0;
    bool m_running = false;
};

// An SRT listener on loopback that accepts callers and sends nothing.
class SilentSrtServer
{
public:
    SilentSrtServer();
    ~SilentSrtServer();
    int port() const { return m_port; }
    // The stream ID of the first caller, once one connected (bounded wait).
    QString waitForStreamId(int timeoutMs);

private:
    void run();
    SrtSocket m_listener;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    QString m_streamId;
    std::vector<SrtSocket> m_callers;
    std::thread m_thread;
};

// A loopback port free for both UDP and TCP right now.
int freePort();


// ffprobe -show_streams -show_format (and -count_frames) as JSON.
QJsonObject probe(const QString &file, bool countFrames = false);
QJsonObject streamOfType(const QJsonObject &probed, const QString &type);
// What the ffmpeg program reports while decoding every stream of the file;
// empty when all of it decodes cleanly.
QString decodeErrors(const QString &file);

} // namespace testsupport
