#include "media/engine/MFSoundServerEvents.h"

namespace mf {

MFSoundServerEvents &MFSoundServerEvents::instance()
{
    static MFSoundServerEvents events;
    return events;
}

bool MFSoundServerEvents::isLost() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lostStreams > 0;
}

void MFSoundServerEvents::streamLost()
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        first = m_lostStreams++ == 0;
    }
    if (first)
        emit lost();
}

void MFSoundServerEvents::streamBack()
{
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_lostStreams == 0)
            return;
        last = --m_lostStreams == 0;
    }
    if (last)
        emit back();
}

} // namespace mf
