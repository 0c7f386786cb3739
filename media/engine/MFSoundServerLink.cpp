#include "media/engine/MFSoundServerLink.h"

#include "media/engine/MFSoundServerEvents.h"

namespace mf {

MFSoundServerLink::~MFSoundServerLink()
{
    if (m_lost)
        MFSoundServerEvents::instance().streamBack();
}

void MFSoundServerLink::connected()
{
    m_everConnected = true;
    if (m_lost)
        MFSoundServerEvents::instance().streamBack();
    m_lost = false;
}

void MFSoundServerLink::failed()
{
    m_lastFailure = std::chrono::steady_clock::now();
    if (m_everConnected && !m_lost) {
        m_lost = true;
        MFSoundServerEvents::instance().streamLost();
    }
}

bool MFSoundServerLink::mayRetry() const
{
    return std::chrono::steady_clock::now() >= nextAttempt();
}

} // namespace mf
