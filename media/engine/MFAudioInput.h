#pragma once
#include "media/engine/MFFrame.h"

#include <QString>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace mf {

// Records one sound-server source on a thread of its own into a short buffer,
// from which the device takes one video frame's worth of samples at a time.
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
    void record();

    QString m_sourceName;
    MFAudioFormat m_format;
    std::atomic<bool> m_running{true};
    std::mutex m_mutex; // guards m_buffer
    std::deque<int16_t> m_buffer;
    std::thread m_thread;
};

} // namespace mf
