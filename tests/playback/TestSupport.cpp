#include "TestSupport.h"

#include "media/engine/MFFactory.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

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

} // namespace testsupport
