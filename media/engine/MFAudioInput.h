#pragma once
#include "media/engine/MFFrame.h"
#include "media/engine/MFInterrupt.h"
#include "media/engine/SoundCleaner.h"
#include "media/engine/SoundProcessing.h"

#include <QString>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct pa_simple;

namespace mf {

// Records one sound-server source on a thread of its own into a short buffer,
// from which the device takes one video frame's worth of samples at a time.
// Survives the sound server's restarts and the source's coming and going.
// What it records is cleaned as chosen (SoundCleaner) before it is taken.
class MFAudioInput
{
public:
    MFAudioInput(const QString &sourceName, const MFAudioFormat &format, SoundProcessing processing = {});
    ~MFAudioInput();
    MFAudioInput(const MFAudioInput &) = delete;
    MFAudioInput &operator=(const MFAudioInput &) = delete;

    const MFAudioFormat &format() const { return m_format; }
    // Exactly `samples` samples per channel; silence where nothing was recorded yet.
    std::vector<int16_t> take(int samples);
    // Any thread; from the next recorded 10 ms on.
    void setProcessing(SoundProcessing processing) { m_cleaner->setProcessing(processing); }
    const QString &sourceName() const { return m_sourceName; }

private:
    struct SimpleDeleter { void operator()(pa_simple *s) const; };
    using SimplePtr = std::unique_ptr<pa_simple, SimpleDeleter>;

    int chunkSamples() const { return m_format.sampleRate / 100; }  // 10 ms
    SimplePtr openStream(int *error) const;
    void record();
    enum class ReadEnd { Closing, Failed, SourceBack };
    ReadEnd readUntilEnd(pa_simple *stream, int *error);

    QString m_sourceName;
    MFAudioFormat m_format;
    std::unique_ptr<SoundCleaner> m_cleaner;
    MFInterrupt m_stop;
    std::mutex m_mutex; // guards m_buffer
    std::deque<int16_t> m_buffer;
    std::thread m_thread;
};

} // namespace mf
