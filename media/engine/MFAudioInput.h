#pragma once
#include "media/engine/MFFrame.h"

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
class MFAudioInput
{
public:
    MFAudioInput(const QString &sourceName, const MFAudioFormat &format);
    ~MFAudioInput();
    MFAudioInput(const MFAudioInput &) = delete;
    MFAudioInput &operator=(const MFAudioInput &) = delete;

    const MFAudioFormat &format() const { return m_format; }
    // Exactly `samples` samples per channel; silence where nothing was recorded yet.
    std::vector<int16_t> take(int samples);

private:
    struct SimpleDeleter { void operator()(pa_simple *s) const; };
    using SimplePtr = std::unique_ptr<pa_simple, SimpleDeleter>;

    int chunkSamples() const { return m_format.sampleRate / 100; }  // 10 ms
    SimplePtr openStream(int *error) const;
    void record();
    bool readUntilFailure(pa_simple *stream, int *error);

    QString m_sourceName;
    MFAudioFormat m_format;
    std::atomic<bool> m_running{true};
    std::mutex m_mutex; // guards m_buffer
    std::deque<int16_t> m_buffer;
    std::thread m_thread;
};

} // namespace mf
