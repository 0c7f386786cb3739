#include "MFWriter.h"

#include "CodecProbe.h"
#include "StreamEncoder.h"
#include "WriterConfiguration.h"

#include <QDebug>
#include <chrono>

#include <pthread.h>

namespace mf {

namespace {

constexpr qint64 kCloseGraceMs = 2000;
// Sound kept from dropped frames while the encoder is behind (5 s of stereo).
constexpr size_t kMaxLaterSamples = 5 * 44100 * 2;

qint64 monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool hasSound(const MFFrame &frame)
{
    const MFAudioFormat &audio = frame.format().audio;
    return frame.audioData() && frame.audioSampleCount() > 0 && audio.channels > 0 && audio.sampleRate > 0;
}

StreamEncoder::Sound silence(int sampleCount)
{
    return StreamEncoder::Sound{nullptr, sampleCount, StreamEncoder::kChannels, StreamEncoder::kSampleRate};
}

// Samples, at the stream's rate, that stand for the frame's time.
int soundLength(const MFFrame &frame)
{
    if (!hasSound(frame))
        return StreamEncoder::kSampleRate / StreamEncoder::kFrameRate;
    return int(qint64(frame.audioSampleCount()) * StreamEncoder::kSampleRate / frame.format().audio.sampleRate);
}

} // namespace

MFWriter::MFWriter() = default;

MFWriter::~MFWriter()
{
    close();
}

QStringList MFWriter::availableVideoCodecs()
{
    return CodecProbe::available();
}

bool MFWriter::open(const QString &url, const QString &configuration)
{
    close();
    std::lock_guard<std::mutex> closeLock(m_closeMutex);
    auto encoder = std::make_unique<StreamEncoder>();
    // Blocking network I/O gives up after a failure or when closing takes
    // too long because nobody reads the stream any more.
    m_abortAtMs = 0;
    m_outputFailed = false;
    if (!encoder->open(url, WriterConfiguration::parse(configuration),
                       [this] { return m_outputFailed || (m_abortAtMs && monotonicMs() > m_abortAtMs); }))
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_encoder = std::move(encoder);
        m_queue.clear();
        m_closing = false;
        m_nextIndex = 0;
        m_dropped = 0;
        m_queued = 0;
        m_bytesWritten = 0;
        m_framesEncoded = 0;
        m_framesRepeated = 0;
        m_requestedVideoBitRate = 0;
        m_videoBitRate = 0;
        m_outputFailed = false;
        m_open = true;
    }
    m_thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "MFWriter");
        encodeLoop();
    });
    return true;
}

int MFWriter::put(const MFFramePtr &frame, int /*timeoutMs*/)
{
    if (!frame)
        return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open || m_closing || m_outputFailed)
        return -1;
    const qint64 index = m_nextIndex++;
    if (int(m_queue.size()) >= kQueueLength) {
        keepSound(m_queue.back(), *frame);
        ++m_dropped;
        return 1;
    }
    m_queue.push_back(Item{frame, index, {}});
    ++m_queued;
    m_wake.notify_one();
    return 0;
}

int MFWriter::pendingFrames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_queue.size());
}

bool MFWriter::takeItem(Item &item)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait(lock, [this] { return m_closing || !m_queue.empty(); });
    if (m_queue.empty())
        return false;
    item = std::move(m_queue.front());
    m_queue.pop_front();
    return true;
}

// The picture is lost but its time is not: its sound (or silence as long)
// follows the sound of the queued frame, so the stream's sound stays
// continuous and in step with the frame count. Sound kept while the encoder
// is stalled is bounded; beyond that, and for sound in another format, the
// stream gets silence of the same length.
void MFWriter::keepSound(Item &item, const MFFrame &dropped)
{
    const MFAudioFormat &format = item.frame->format().audio;
    const MFAudioFormat &own = dropped.format().audio;
    const bool sameFormat = hasSound(*item.frame) && own.channels == format.channels
        && own.sampleRate == format.sampleRate;
    const size_t count = size_t(dropped.audioSampleCount()) * size_t(qMax(own.channels, 0));
    std::vector<int16_t> &later = item.laterSound;
    if (hasSound(dropped) && sameFormat && item.laterSilence == 0 && later.size() + count <= kMaxLaterSamples) {
        later.insert(later.end(), dropped.audioData(), dropped.audioData() + count);
        return;
    }
    item.laterSilence += soundLength(dropped);
}

void MFWriter::encodeItem(const Item &item)
{
    const MFFrame &frame = *item.frame;
    const MFAudioFormat &audio = frame.format().audio;
    std::vector<StreamEncoder::Sound> sound;
    if (hasSound(frame))
        sound.push_back({frame.audioData(), frame.audioSampleCount(), audio.channels, audio.sampleRate});
    else
        sound.push_back(silence(soundLength(frame)));
    if (!item.laterSound.empty())
        sound.push_back({item.laterSound.data(), int(item.laterSound.size()) / audio.channels, audio.channels,
                         audio.sampleRate});
    if (item.laterSilence > 0)
        sound.push_back(silence(item.laterSilence));
    if (!m_encoder->writeFrame(item.index, frame.image(), sound))
        m_outputFailed = true;
}

void MFWriter::setVideoBitRate(qint64 bitRate)
{
    if (bitRate > 0)
        m_requestedVideoBitRate = bitRate;
}

void MFWriter::applyRequestedRate()
{
    const qint64 requested = m_requestedVideoBitRate.exchange(0);
    if (requested > 0)
        m_encoder->setVideoBitRate(requested);
    m_videoBitRate = m_encoder->videoBitRate();
}

void MFWriter::updateCounters()
{
    m_bytesWritten = quint64(m_encoder->bytesWritten());
    m_framesEncoded = quint64(m_encoder->videoPacketsWritten());
    m_framesRepeated = quint64(m_encoder->repeatedPictures());
}

void MFWriter::encodeLoop()
{
    Item item;
    while (takeItem(item)) {
        if (!m_outputFailed) {
            applyRequestedRate();
            encodeItem(item);
            updateCounters();
        }
        item = Item();
    }
}

void MFWriter::close()
{
    std::lock_guard<std::mutex> closeLock(m_closeMutex);
    qint64 endIndex = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_open)
            return;
        m_closing = true;
        m_open = false;
        m_abortAtMs = monotonicMs() + kCloseGraceMs;
        endIndex = m_nextIndex;
        m_wake.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    if (!m_encoder->finish(endIndex))
        qWarning() << "MFWriter: the stream did not end cleanly";
    updateCounters();
    if (m_dropped > 0)
        qDebug() << "MFWriter: dropped" << quint64(m_dropped) << "of" << endIndex << "frames, repeated"
                 << quint64(m_framesRepeated) << "pictures in their place";
    m_encoder.reset();
}

} // namespace mf
