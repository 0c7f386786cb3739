#include "CallerGate.h"

#include <srt/access_control.h>

int CallerGate::admit(int socket, const StreamRoute &route)
{
    if (!route.isValid())
        return SRT_REJX_BAD_REQUEST;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_admitted.count(socket) != 0)
        return 0;
    if (int(m_admitted.size()) >= m_maxCallers)
        return SRT_REJX_OVERLOAD;
    for (const auto &entry : m_admitted) {
        if (entry.second.isSameMedia(route))
            return SRT_REJX_CONFLICT;
    }
    m_admitted[socket] = route;
    return 0;
}

void CallerGate::release(int socket)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_admitted.erase(socket);
}

std::vector<int> CallerGate::admittedSockets() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<int> sockets;
    sockets.reserve(m_admitted.size());
    for (const auto &entry : m_admitted)
        sockets.push_back(entry.first);
    return sockets;
}

int CallerGate::count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_admitted.size());
}

const char *CallerGate::reasonText(int reason)
{
    switch (reason) {
    case SRT_REJX_BAD_REQUEST: return "no stream ID";
    case SRT_REJX_OVERLOAD: return "too many callers";
    case SRT_REJX_CONFLICT: return "this ID is already streaming";
    default: return "refused";
    }
}
