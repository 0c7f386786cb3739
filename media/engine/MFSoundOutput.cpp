#include "media/engine/MFSoundOutput.h"

#include "media/engine/EchoReference.h"
#include "media/engine/MFSoundServerEvents.h"
#include "media/engine/MFSoundServerLink.h"

#include <QDebug>

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

namespace mf {

static_assert(MFSoundOutput::kSampleRate == EchoReference::kSampleRate && MFSoundOutput::kChannels == EchoReference::kChannels,
              "the echo reference holds what the output plays, as it plays it");

namespace {

constexpr int kChunkMs = 10;
constexpr size_t kChunkSamples = size_t(MFSoundOutput::kSampleRate) * MFSoundOutput::kChannels * kChunkMs / 1000;
constexpr size_t kMaxQueuedSamples =
    size_t(MFSoundOutput::kSampleRate) * MFSoundOutput::kChannels * MFSoundOutput::kMaxQueuedMs / 1000;
constexpr uint32_t kBytesPerMs = MFSoundOutput::kSampleRate * MFSoundOutput::kChannels * 2 / 1000;

struct SimpleDeleter { void operator()(pa_simple *s) const { pa_simple_free(s); } };
using SimplePtr = std::unique_ptr<pa_simple, SimpleDeleter>;

SimplePtr openServer(bool logFailure)
{
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = MFSoundOutput::kSampleRate;
    spec.channels = MFSoundOutput::kChannels;
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.tlength = kBytesPerMs * MFSoundOutput::kServerBufferMs;
    attr.prebuf = kBytesPerMs * MFSoundOutput::kRestartMs;
    attr.minreq = kBytesPerMs * kChunkMs;
    attr.fragsize = uint32_t(-1);
    int error = 0;
    SimplePtr simple(pa_simple_new(nullptr, "Orvanta", PA_STREAM_PLAYBACK, nullptr, "Feedback", &spec, nullptr,
                                   &attr, &error));
    if (!simple && logFailure)
        qDebug() << "MFPreview: no sound output, frames play silently:" << pa_strerror(error);
    return simple;
}

// Sound threads run detached, so that stopping never waits for a slow sound
// server. One still finishing its last write when the program ends would use
// the sound library and the program's statics while they are torn down; the
// end of the program waits for such threads, briefly.
class RunningThreads
{
public:
    static constexpr int kExitWaitMs = 1000;

    static RunningThreads &instance()
    {
        static RunningThreads running;
        return running;
    }
    void enter()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
    }
    void leave()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_count;
        }
        m_done.notify_all();
    }
    ~RunningThreads()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_done.wait_for(lock, std::chrono::milliseconds(kExitWaitMs), [this] { return m_count == 0; });
    }

private:
    // What the threads use is made first, so that it is destroyed after this waited.
    RunningThreads()
    {
        (void)EchoReference::shared();
        (void)MFSoundServerEvents::instance();
    }

    std::mutex m_mutex;
    std::condition_variable m_done;
    int m_count = 0;
};

} // namespace

struct MFSoundOutput::Feed {
    std::mutex mutex;  // guards ring and stop
    std::condition_variable wake;
    std::deque<int16_t> ring;
    bool stop = false;

    size_t takeChunk(int16_t *buffer, size_t maxSamples)
    {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait_for(lock, std::chrono::milliseconds(kChunkMs * 2), [this] { return stop || !ring.empty(); });
        const size_t count = std::min(maxSamples, ring.size()) & ~size_t(kChannels - 1);
        std::copy(ring.begin(), ring.begin() + std::ptrdiff_t(count), buffer);
        ring.erase(ring.begin(), ring.begin() + std::ptrdiff_t(count));
        return count;
    }

    bool stopped()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return stop;
    }
};

MFSoundOutput::MFSoundOutput() = default;

MFSoundOutput::~MFSoundOutput()
{
    stop();
}

void MFSoundOutput::start()
{
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_feed)
        return;
    m_feed = std::make_shared<Feed>();
    RunningThreads::instance().enter();
    std::thread([feed = m_feed] {
        run(feed);
        RunningThreads::instance().leave();
    }).detach();
}

bool MFSoundOutput::isStarted() const
{
    std::lock_guard<std::mutex> life(m_lifeMutex);
    return m_feed != nullptr;
}

void MFSoundOutput::stop()
{
    std::shared_ptr<Feed> feed;
    {
        std::lock_guard<std::mutex> life(m_lifeMutex);
        feed = std::move(m_feed);
    }
    if (!feed)
        return;
    {
        std::lock_guard<std::mutex> lock(feed->mutex);
        feed->stop = true;
        feed->ring.clear();
    }
    feed->wake.notify_all();
}

void MFSoundOutput::push(const int16_t *samples, int frames)
{
    if (!samples || frames <= 0)
        return;
    std::shared_ptr<Feed> feed;
    {
        std::lock_guard<std::mutex> life(m_lifeMutex);
        feed = m_feed;
    }
    if (!feed)
        return;
    {
        std::lock_guard<std::mutex> lock(feed->mutex);
        if (feed->stop)
            return;
        feed->ring.insert(feed->ring.end(), samples, samples + size_t(frames) * kChannels);
        if (feed->ring.size() > kMaxQueuedSamples)
            feed->ring.erase(feed->ring.begin(),
                             feed->ring.begin() + std::ptrdiff_t(feed->ring.size() - kMaxQueuedSamples));
    }
    feed->wake.notify_one();
}

// The server's own buffer paces the loop: a write waits while it is full.
// Without a server the sound is taken and dropped, so the ring never holds
// stale sound, and the stream opens again as often as MFSoundServerLink
// allows: a restarted server plays the sound within moments of its return.
void MFSoundOutput::run(const std::shared_ptr<Feed> &feed)
{
    MFSoundServerLink link;
    SimplePtr server;
    bool told = false;
    std::vector<int16_t> chunk(kChunkSamples * 4);
    const std::shared_ptr<EchoReference> echo = EchoReference::shared();
    while (!feed->stopped()) {
        if (!server && link.mayRetry()) {
            server = openServer(!told);
            told = !server;
            server ? link.connected() : link.failed();
        }
        size_t count = feed->takeChunk(chunk.data(), chunk.size());
        if (!server)
            continue;
        // Silence while nothing comes keeps the stream playing at the
        // server's pace, so that what was written (the echo reference) runs
        // on the speaker's clock, gaps in the return sound included.
        if (count == 0) {
            count = kChunkSamples;
            std::fill_n(chunk.begin(), count, int16_t(0));
        }
        int error = 0;
        if (pa_simple_write(server.get(), chunk.data(), count * sizeof(int16_t), &error) < 0) {
            qDebug() << "MFPreview: sound output failed:" << pa_strerror(error);
            server.reset();
            told = true;
            link.failed();
            continue;
        }
        // The recordings' echo cancellers hear what goes to the speaker.
        const pa_usec_t latency = pa_simple_get_latency(server.get(), &error);
        echo->played(chunk.data(), int(count / kChannels),
                                         latency == pa_usec_t(-1) ? -1 : qint64(latency));
    }
}

} // namespace mf
