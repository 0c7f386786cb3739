#pragma once
#include "StreamRoute.h"

#include <mutex>

#include <map>
#include <vector>

// Decides, while a caller's handshake is under way, whether it may come in:
// a valid stream ID, at most maxCallers at once, one media caller per ID.
// libsrt's listener thread asks (admit); the hub's thread releases places.
// Admitted callers hold their place from the handshake on, so callers that
// arrive together cannot overrun the cap before the hub has accepted them.
class CallerGate
{
public:
    explicit CallerGate(int maxCallers) : m_maxCallers(maxCallers) {}

    // 0 when the caller may come in (or already came in), else the reason to
    // give it (SRT_REJX_BAD_REQUEST, SRT_REJX_OVERLOAD or SRT_REJX_CONFLICT).
    int admit(int socket, const StreamRoute &route);
    void release(int socket);
    std::vector<int> admittedSockets() const;
    int count() const;
    int maxCallers() const { return m_maxCallers; }
    static const char *reasonText(int reason);

private:
    const int m_maxCallers;
    mutable std::mutex m_mutex;
    std::map<int, StreamRoute> m_admitted;
};
