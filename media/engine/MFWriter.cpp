#include "MFWriter.h"

#include "CodecProbe.h"
#include "StreamEncoder.h"
#include "WriterConfiguration.h"

#include <QDebug>
#include <chrono>

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
        m_outputFailed = false;
        m_open = true;
    }
    m_thread = std::thread(&MFWriter::encodeLoop, this);
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
        // The picture is lost but its sound is not: the stream's sound stays
        // continuous and in step with the frame count.
        std::vector<int16_t> &later = m_queue.back().laterSound;
        const int16_t *samples = frame->audioData();
        const size_t count = size_t(frame->audioSampleCount()) * size_t(qMax(frame->format().audio.channels, 0));
        if (samples && later.size() + count <= kMaxLaterSamples)
            later.insert(later.end(), samples, samples + count);
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

void MFWriter::encodeItem(const Item &item)
{
    std::vector<StreamEncoder::Sound> sound;
    const MFAudioFormat &audio = item.frame->format().audio;
    if (item.frame->audioData() && item.frame->audioSampleCount() > 0)
        sound.push_back({item.frame->audioData(), item.frame->audioSampleCount(), audio.channels, audio.sampleRate});
    if (!item.laterSound.empty() && audio.channels > 0)
        sound.push_back({item.laterSound.data(), int(item.laterSound.size()) / audio.channels, audio.channels,
                         audio.sampleRate});
    if (!m_encoder->writeFrame(item.index, item.frame->image(), sound))
        m_outputFailed = true;
}

void MFWriter::encodeLoop()
{
    Item item;
    while (takeItem(item)) {
        if (!m_outputFailed)
            encodeItem(item);
        item = Item();
    }
}

void MFWriter::close()
{
    std::lock_guard<std::mutex> closeLock(m_closeMutex);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_open)
            return;
        m_closing = true;
        m_open = false;
        m_abortAtMs = monotonicMs() + kCloseGraceMs;
        m_wake.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    if (!m_encoder->finish())
        qWarning() << "MFWriter: the stream did not end cleanly";
    if (m_dropped > 0)
        qDebug() << "MFWriter: dropped" << quint64(m_dropped) << "of" << quint64(m_nextIndex) << "frames";
    m_encoder.reset();
}

} // namespace mf
