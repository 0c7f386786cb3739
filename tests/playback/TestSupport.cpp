#include "TestSupport.h"

#include "media/engine/MFFactory.h"
#include "transport/srt/SrtLibrary.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QEventLoop>
#include <QTimer>
#include <QTcpServer>
#include <QUdpSocket>
#include <srt/srt.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cmath>

namespace testsupport {

mf::MFFramePtr patternFrame(int width, int height, int index)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((index * 3) % 360, 200, 200));
    QPainter painter(&image);
    painter.fillRect(QRect((index * 8) % width, height / 4, width / 5, height / 2), Qt::white);
    painter.setPen(Qt::black);
    painter.setFont(QFont(QStringLiteral("Sans"), height / 10));
    painter.drawText(image.rect(), Qt::AlignCenter, QString::number(index));
    painter.end();
    // Noise in a band keeps the encoder busy at every bit rate.
    QRandomGenerator random(quint32(index + 1));
    for (int y = 0; y < height / 6; ++y) {
        auto *row = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] = random.generate() | 0xff000000u;
    }
    mf::MFFramePtr frame = mf::MFFactory::fromImage(image);
    const int samples = 1764;
    std::vector<int16_t> tone(samples * 2);
    for (int i = 0; i < samples; ++i) {
        const double t = double(index * samples + i) / 44100.0;
        const auto value = int16_t(8000 * std::sin(2 * M_PI * 440 * t));
        tone[size_t(2 * i)] = tone[size_t(2 * i + 1)] = value;
    }
    frame->setAudio(mf::MFAudioFormat{2, 44100, 16}, samples, tone.data());
    return frame;
}

TcpReceiver::TcpReceiver()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(m_listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(m_listener, 1);
    socklen_t len = sizeof addr;
    ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread(&TcpReceiver::run, this);
}

TcpReceiver::~TcpReceiver()
{
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
}

void TcpReceiver::run()
{
    int peer = -1;
    while (!m_stop && peer < 0) {
        pollfd p{m_listener, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0)
            peer = ::accept(m_listener, nullptr, nullptr);
    }
    char buffer[65536];
    while (!m_stop && peer >= 0) {
        pollfd p{peer, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::recv(peer, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_data.append(buffer, int(n));
    }
    if (peer >= 0)
        ::close(peer);
    m_closed = true;
}

bool TcpReceiver::waitClosed(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!m_closed && timer.elapsed() < timeoutMs)
        QThread::msleep(10);
    return m_closed;
}

QByteArray TcpReceiver::data() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_data;
}

int freePort()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        QUdpSocket udp;
        if (!udp.bind(QHostAddress(QHostAddress::LocalHost), 0))
            continue;
        const quint16 port = udp.localPort();
        QTcpServer tcp;
        if (tcp.listen(QHostAddress::LocalHost, port))
            return port;
    }
    return 0;
}

StudioServer::StudioServer(const QString &feedbackFile, int srtPort, const QString &recordDir) : m_process(std::make_unique<QProcess>())
{
    m_srtPort = srtPort > 0 ? srtPort : freePort();
    m_httpPort = freePort();
    const QString program = QStringLiteral(ORVANTA_BINARY_DIR "/tools/orvanta-studio/orvanta-studio");
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(program, {"--srt", QString("127.0.0.1:%1").arg(m_srtPort),
                               "--http", QString("127.0.0.1:%1").arg(m_httpPort),
                               "--record", recordDir.isEmpty() ? QDir::tempPath() + "/orvanta-playback-test-recordings" : recordDir,
                               "--feedback", feedbackFile});
    if (!m_process->waitForStarted(5000))
        return;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000 && m_process->state() == QProcess::Running) {
        m_process->waitForReadyRead(100);
        if (m_process->readAll().contains("orvanta-studio: SRT")) {
            m_running = true;
            return;
        }
    }
}

StudioServer::~StudioServer()
{
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(3000))
            m_process->kill();
        m_process->waitForFinished(3000);
    }
}

QJsonObject StudioServer::status() const
{
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(QString("http://127.0.0.1:%1/status").arg(m_httpPort))));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    const QJsonObject result = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    return result;
}

SilentSrtServer::SilentSrtServer()
{
    startSrtLibrary();
    m_listener.reset(srt_create_socket());
    const int listener = m_listener.get();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int timeoutMs = 50;
    srt_setsockflag(listener, SRTO_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
    const bool blocking = false;
    srt_setsockflag(listener, SRTO_RCVSYN, &blocking, sizeof blocking);
    srt_bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    srt_listen(listener, 4);
    int len = sizeof addr;
    srt_getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread(&SilentSrtServer::run, this);
}

SilentSrtServer::~SilentSrtServer()
{
    m_stop = true;
    m_thread.join();
}

void SilentSrtServer::run()
{
    while (!m_stop) {
        sockaddr_in peer{};
        int len = sizeof peer;
        SrtSocket caller(srt_accept(m_listener.get(), reinterpret_cast<sockaddr *>(&peer), &len));
        if (!caller.isValid()) {
            QThread::msleep(20);
            continue;
        }
        char id[600] = {};
        int idLength = sizeof id;
        srt_getsockflag(caller.get(), SRTO_STREAMID, id, &idLength);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_callers.empty())
            m_streamId = QString::fromUtf8(id, idLength);
        m_callers.push_back(std::move(caller));
    }
}

QString SilentSrtServer::waitForStreamId(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_callers.empty())
                return m_streamId;
        }
        QThread::msleep(10);
    }
    return QString();
}

QJsonObject probe(const QString &file, bool countFrames)
{
    QStringList args{"-v", "error", "-show_streams", "-show_format", "-of", "json"};
    if (countFrames)
        args << "-count_frames";
    args << file;
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"), args);
    if (!ffprobe.waitForFinished(60000))
        return {};
    return QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
}

QJsonObject streamOfType(const QJsonObject &probed, const QString &type)
{
    for (const auto &value : probed.value("streams").toArray()) {
        if (value.toObject().value("codec_type").toString() == type)
            return value.toObject();
    }
    return {};
}

QString decodeErrors(const QString &file)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-v", "error", "-nostdin", "-i", file, "-f", "null", "-"});
    if (!ffmpeg.waitForFinished(120000))
        return QStringLiteral("ffmpeg did not finish");
    const QString errors = QString::fromUtf8(ffmpeg.readAllStandardError()).trimmed();
    if (ffmpeg.exitStatus() != QProcess::NormalExit || ffmpeg.exitCode() != 0)
        return QStringLiteral("ffmpeg failed (%1): %2").arg(ffmpeg.exitCode()).arg(errors);
    return errors;
}

} // namespace testsupport
