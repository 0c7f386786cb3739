#pragma once
#include "transport/srt/ResolveHost.h"
#include "transport/srt/SrtEndpoint.h"
#include "transport/srt/SrtSocket.h"
#include "transport/srt/StepResult.h"

#include <atomic>

// What srtConnect gives back: the connection, which belongs to the caller
// (empty on failure), and how the attempt went.
struct SrtConnection
{
    SrtSocket socket;
    // The failure's message is one of SrtCaller::connect's, its reason
    // libsrt's (a listener's reject reason included).
    StepResult result;
    // The server answered with a refusal (see SrtCaller::isRefusal).
    bool refused = false;
};

// Opens a live-mode SRT caller connection to the endpoint, whose host must
// be a dotted IPv4 address (resolveHost turns a host name into one), the way
// every connection the program opens itself is set up: the stream ID, the
// endpoint's latency as the peer latency (libsrt's default when it has
// none), a non-empty passphrase encrypting it with a 16-byte key. With
// cancel, the connect ends soon after the flag turns true.
SrtConnection srtConnect(const SrtEndpoint &endpoint, const std::atomic<bool> *cancel = nullptr);
