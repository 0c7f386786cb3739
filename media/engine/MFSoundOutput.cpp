#include "media/engine/MFSoundOutput.h"

#include <QDebug>

#include <pulse/error.h>
#include <pulse/simple.h>

#include <chrono>
#include <memory>
#include <vector>

namespace mf {

namespace {

constexpr int kChunkMs = 10;
constexpr size_t kChunkSamples = size_t(MFSoundOutput::kSampleRate) * MFSoundOutput::kChannels * kChunkMs / 1000;
constexpr size_t kMaxQueuedSamples =
    size_t(MFSoundOutput::kSampleRate) * MFSoundOutput::kChannels * MFSoundOutput::kMaxQueuedMs / 1000;
constexpr uint32_t kBytesPerMs = MFSoundOutput::kSampleRate * MFSoundOutput::kChannels * 2 / 1000;

struct SimpleDeleter { void operator()(pa_simple *s) const { pa_simple_free(s); } };
using SimplePtr = std::unique_ptr<pa_simple, SimpleDeleter>;

SimplePtr openServer()
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
    if (!simple)
        qDebug() << "MFPreview: no sound output, frames play silently:" << pa_strerror(error);
    return simple;
}

} // namespace

MFSoundOutput::MFSoundOutput() = default;

MFSoundOutput::~MFSoundOutput()
{
    stop();
}

void MFSoundOutput::start()
{
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_thread.joinable())
        return;
    m_stop = false;
    m_thread = std::thread(&MFSoundOutput::run, this);
    m_running = true;
}

void MFSoundOutput::stop()
{
    std::lock_guard<std::mutex> life(m_lifeMutex);
    m_running = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_ring.clear();
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void MFSoundOutput::push(const int16_t *samples, int frames)
{
    if (!samples || frames <= 0 || !m_running)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop)
            return;
        m_ring.insert(m_ring.end(), samples, samples + size_t(frames) * kChannels);
        if (m_ring.size() > kMaxQueuedSamples)
            m_ring.erase(m_ring.begin(), m_ring.begin() + std::ptrdiff_t(m_ring.size() - kMaxQueuedSamples));
    }
    m_wake.notify_one();
}

size_t MFSoundOutput::takeChunk(int16_t *buffer, size_t maxSamples)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(kChunkMs * 2), [this] { return m_stop || !m_ring.empty(); });
    const size_t count = std::min(maxSamples, m_ring.size()) & ~size_t(kChannels - 1);
    std::copy(m_ring.begin(), m_ring.begin() + std::ptrdiff_t(count), buffer);
    m_ring.erase(m_ring.begin(), m_ring.begin() + std::ptrdiff_t(count));
    return count;
}

// The server's own buffer paces the loop: a write waits while it is full.
void MFSoundOutput::run()
{
    SimplePtr server = openServer();
    std::vector<int16_t> chunk(kChunkSamples * 4);
    while (!m_stop) {
        const size_t count = takeChunk(chunk.data(), chunk.size());
        if (count == 0 || !server)
            continue;
        int error = 0;
        if (pa_simple_write(server.get(), chunk.data(), count * sizeof(int16_t), &error) < 0) {
            qDebug() << "MFPreview: sound output failed:" << pa_strerror(error);
            server.reset();
            continue;
        }
        m_played += count / kChannels;
    }
}

} // namespace mf
