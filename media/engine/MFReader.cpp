#include "MFReader.h"

#include "MFFactory.h"
#include "MFOptions.h"
#include "SrtInput.h"
#include "transport/srt/SrtCallerUrl.h"
#include "TsDecoder.h"

#include <QDebug>
#include <QGuiApplication>
#include <QPainter>
#include <chrono>

namespace mf {

namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr int kRetryPauseMs = 500;

bool isTrue(const QString &value)
{
    return value == QLatin1String("true") || value == QLatin1String("1");
}

MFFramePtr makeFrame(const QImage &picture, const std::vector<int16_t> &sound)
{
    // Sound alone travels in a frame without a picture.
    MFFramePtr frame = picture.isNull() ? std::make_shared<MFFrame>(MFFormat(), QImage()) : MFFactory::fromImage(picture);
    if (!frame)
        return nullptr;
    if (!sound.empty()) {
        const MFAudioFormat format{MFReader::kChannels, MFReader::kSampleRate, 16};
        frame->setAudio(format, int(sound.size() / MFReader::kChannels), sound.data());
    }
    return frame;
}

} // namespace

MFReader::MFReader() = default;

MFReader::~MFReader()
{
    close();
}

bool MFReader::open(const QString &url, const QString &options)
{
    close();
    const std::optional<SrtEndpoint> parsed = SrtCallerUrl::parse(url);
    if (!parsed) {
        qWarning() << "MFReader: not an SRT caller URL:" << url;
        return false;
    }
    const QMap<QString, QString> values = MFOptions::parse(options);
    m_endpoint = *parsed;
    m_endpoint.passphrase = m_passphrase;
    m_lowDelay = isTrue(values.value(QStringLiteral("network.low_delay"), QStringLiteral("true")));
    m_openAsync = isTrue(values.value(QStringLiteral("network.open_async"), QStringLiteral("true")));
    m_bufferMax = qBound(1, values.value(QStringLiteral("network.buffer_max"), QStringLiteral("2")).toInt(), 50);
    const QString splashPath = values.value(QStringLiteral("network.open_image"));
    m_splash = splashPath.isEmpty() ? QImage() : QImage(splashPath).convertToFormat(QImage::Format_RGB32);
    if (!splashPath.isEmpty() && m_splash.isNull())
        qDebug() << "MFReader: no picture in" << splashPath;

    m_stop = false;
    m_gotPicture = false;
    m_dropped = 0;
    m_noPictureSaid = false;
    m_queue.clear();
    m_queuedBytes = 0;

    std::unique_ptr<SrtInput> firstConnection;
    if (!m_openAsync) {
        firstConnection = std::make_unique<SrtInput>(m_stop);
        if (!firstConnection->connect(m_endpoint, kConnectTimeoutMs))
            return false;
    }
    m_open = true;
    m_thread = std::thread([this, connection = std::shared_ptr<SrtInput>(std::move(firstConnection))] {
        if (connection) {
            TsDecoder decoder([c = connection.get()](uint8_t *b, int n) { return c->read(b, n); }, m_lowDelay);
            decode(decoder);
            connection->close();
        }
        run();
    });
    return true;
}

void MFReader::decode(TsDecoder &decoder)
{
    decoder.setNotice([this](const QString &reason, bool soundPlays) { showNoPicture(reason, soundPlays); });
    decoder.run(m_stop, [this](QImage picture, std::vector<int16_t> sound) {
        if (!picture.isNull())
            m_noPictureSaid = false;
        deliver({std::move(picture), std::move(sound)});
    });
}

bool MFReader::waitStopFor(int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stop.load(); });
}

void MFReader::run()
{
    // The server may not serve the stream yet, or drop it: keep calling
    // until the reader is closed.
    SrtInput input(m_stop);
    while (!m_stop) {
        if (!input.connect(m_endpoint, kConnectTimeoutMs)) {
            if (waitStopFor(kRetryPauseMs))
                break;
            continue;
        }
        TsDecoder decoder([&input](uint8_t *buffer, int size) { return input.read(buffer, size); }, m_lowDelay);
        decode(decoder);
        input.close();
        if (!m_stop)
            waitStopFor(kRetryPauseMs);
    }
}

// The picture area tells the user in a few words; the log tells why.
// Said once until a picture comes, however often the server reconnects.
void MFReader::showNoPicture(const QString &reason, bool soundPlays)
{
    if (m_noPictureSaid.exchange(true))
        return;
    if (soundPlays)
        qWarning().noquote() << "MFReader: no picture in the return stream; playing the sound only:" << reason;
    else
        qWarning().noquote() << "MFReader: no picture in the return stream:" << reason;
    const bool noPictureStream = reason.contains(QLatin1String("carries no picture"));
    deliver({noPictureMessage(noPictureStream ? kSoundOnlyText : kNoPictureText), {}});
}

QImage MFReader::noPictureMessage(const QString &text)
{
    QImage picture(640, 360, QImage::Format_RGB32);
    picture.fill(QColor(32, 32, 32));
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        QPainter painter(&picture);
        QFont font;
        font.setPixelSize(28);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(picture.rect(), Qt::AlignCenter | Qt::TextWordWrap, text);
    }
    return picture;
}

qint64 MFReader::bytesOf(const Decoded &decoded)
{
    return qint64(decoded.picture.sizeInBytes()) + qint64(decoded.sound.size() * sizeof(int16_t));
}

void MFReader::dropOldest(Decoded &incoming)
{
    // Low delay: the oldest picture goes, its sound stays; a picture
    // followed by sound alone is not lost but moves on with that sound.
    Decoded oldest = std::move(m_queue.front());
    m_queue.pop_front();
    m_queuedBytes -= bytesOf(oldest);
    Decoded &next = m_queue.empty() ? incoming : m_queue.front();
    if (&next != &incoming)
        m_queuedBytes -= bytesOf(next);
    oldest.sound.insert(oldest.sound.end(), next.sound.begin(), next.sound.end());
    next.sound = std::move(oldest.sound);
    // Sound merged over and over while nobody reads keeps its newest part.
    if (next.sound.size() > kMaxSoundPerFrame)
        next.sound.erase(next.sound.begin(), next.sound.end() - kMaxSoundPerFrame);
    if (next.picture.isNull())
        next.picture = std::move(oldest.picture);
    if (&next != &incoming)
        m_queuedBytes += bytesOf(next);
    ++m_dropped;
}

void MFReader::deliver(Decoded decoded)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    while (!m_queue.empty()
           && (int(m_queue.size()) >= m_bufferMax || m_queuedBytes + bytesOf(decoded) > kMaxQueuedBytes))
        dropOldest(decoded);
    const bool picture = !decoded.picture.isNull();
    m_queuedBytes += bytesOf(decoded);
    m_queue.push_back(std::move(decoded));
    if (picture)
        m_gotPicture = true;
    m_changed.notify_all();
}

MFFramePtr MFReader::read(int timeoutMs)
{
    const int waitMs = timeoutMs < 0 || timeoutMs > kMaxWaitMs ? kMaxWaitMs : timeoutMs;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_open)
        return nullptr;
    const bool showSplash = !m_gotPicture && !m_splash.isNull();
    const int limitMs = showSplash ? qMin(waitMs, kSplashIntervalMs) : waitMs;
    m_changed.wait_for(lock, std::chrono::milliseconds(limitMs), [this] { return !m_queue.empty() || m_stop; });
    if (m_queue.empty()) {
        if (showSplash && !m_stop)
            return MFFactory::fromImage(m_splash);
        return nullptr;
    }
    Decoded decoded = std::move(m_queue.front());
    m_queue.pop_front();
    m_queuedBytes -= bytesOf(decoded);
    lock.unlock();
    return makeFrame(decoded.picture, decoded.sound);
}

void MFReader::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_open = false;
        m_changed.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_queuedBytes = 0;
}

} // namespace mf
