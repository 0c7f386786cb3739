#include "media/engine/MFAudioInput.h"

#include "media/engine/MFSoundServerLink.h"
#include "media/engine/MFSourceWatch.h"

#include <QDebug>

#include <pulse/error.h>
#include <pulse/simple.h>

#include <chrono>
#include <memory>
#include <thread>

namespace mf {

namespace {

// More than this much waiting sound means the reader fell behind; the oldest goes.
constexpr int kMaxBufferedMs = 300;

} // namespace

void MFAudioInput::SimpleDeleter::operator()(pa_simple *s) const
{
    pa_simple_free(s);
}

MFAudioInput::MFAudioInput(const QString &sourceName, const MFAudioFormat &format, SoundProcessing processing)
    : m_sourceName(sourceName), m_format(format)
{
    if (m_format.channels <= 0 || m_format.sampleRate <= 0)
        m_format = {2, 44100, 16};
    m_cleaner = std::make_unique<SoundCleaner>(m_format, processing);
    m_thread = std::thread(&MFAudioInput::record, this);
}

MFAudioInput::~MFAudioInput()
{
    m_stop.raise();
    if (m_thread.joinable())
        m_thread.join();
}

MFAudioInput::SimplePtr MFAudioInput::openStream(int *error) const
{
    pa_sample_spec sampleSpec{};
    sampleSpec.format = PA_SAMPLE_S16LE;
    sampleSpec.rate = uint32_t(m_format.sampleRate);
    sampleSpec.channels = uint8_t(m_format.channels);
    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(-1);
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(chunkSamples() * m_format.channels * 2);
    const QByteArray source = m_sourceName.toUtf8();
    return SimplePtr(pa_simple_new(nullptr, "Orvanta", PA_STREAM_RECORD, source.constData(), "capture", &sampleSpec,
                                   nullptr, &attr, error));
}

// The sound server may go away (a restart, an update, a crash) and the
// source with it (a headset unplugged): the recording then opens again, as
// often as MFSoundServerLink allows, until it is back. Meanwhile take() hands
// out silence; nobody waits.
void MFAudioInput::record()
{
    MFSoundServerLink link;
    bool told = false;
    while (!m_stop.isRaised()) {
        if (!link.mayRetry()) {
            m_stop.waitUntil(link.nextAttempt());
            continue;
        }
        int error = 0;
        SimplePtr stream = openStream(&error);
        if (!stream) {
            if (!told)
                qWarning() << "MFAudioInput: cannot record from" << m_sourceName << pa_strerror(error);
            told = true;
            link.failed();
            continue;
        }
        if (link.isLost())
            qWarning() << "MFAudioInput: recording from" << m_sourceName << "again";
        link.connected();
        m_cleaner->restart();
        told = false;
        switch (readUntilEnd(stream.get(), &error)) {
        case ReadEnd::Failed:
            qWarning() << "MFAudioInput: recording from" << m_sourceName << "failed:" << pa_strerror(error);
            told = true;
            link.failed();
            break;
        case ReadEnd::SourceBack:
            qWarning() << "MFAudioInput:" << m_sourceName << "is back; recording from it again";
            break;
        case ReadEnd::Closing:
            break;
        }
    }
}

MFAudioInput::ReadEnd MFAudioInput::readUntilEnd(pa_simple *stream, int *error)
{
    // A named source that goes away takes the recording to another one, by
    // the server's doing; once it is back the recording opens on it again.
    std::unique_ptr<MFSourceWatch> watch;
    if (!m_sourceName.isEmpty() && !m_sourceName.startsWith('@'))
        watch = std::make_unique<MFSourceWatch>(m_sourceName);
    std::vector<int16_t> chunk(size_t(chunkSamples()) * size_t(m_format.channels));
    const size_t maxBuffered = size_t(m_format.sampleRate) * kMaxBufferedMs / 1000 * size_t(m_format.channels);
    while (!m_stop.isRaised()) {
        if (pa_simple_read(stream, chunk.data(), chunk.size() * sizeof(int16_t), error) < 0)
            return ReadEnd::Failed;
        if (watch && watch->appeared())
            return ReadEnd::SourceBack;
        m_cleaner->clean(chunk.data());
        std::lock_guard<std::mutex> lock(m_mutex);
        m_buffer.insert(m_buffer.end(), chunk.begin(), chunk.end());
        if (m_buffer.size() > maxBuffered)
            m_buffer.erase(m_buffer.begin(), m_buffer.begin() + long(m_buffer.size() - maxBuffered));
    }
    return ReadEnd::Closing;
}

std::vector<int16_t> MFAudioInput::take(int samples)
{
    std::vector<int16_t> out(size_t(qMax(0, samples)) * size_t(m_format.channels), 0);
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t n = std::min(out.size(), m_buffer.size());
    std::copy(m_buffer.begin(), m_buffer.begin() + long(n), out.begin());
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + long(n));
    return out;
}

} // namespace mf
