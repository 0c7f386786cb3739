#pragma once
#include "transport/srt/SrtEndpoint.h"
#include "transport/srt/SrtSocket.h"

#include <atomic>
#include <vector>

namespace mf {

// A caller SRT connection read as a byte stream, with waits short enough for
// the owner to notice a stop request.
class SrtInput
{
public:
    static constexpr int kPollMs = 100;

    explicit SrtInput(const std::atomic<bool> &stop);
    ~SrtInput();
    SrtInput(const SrtInput &) = delete;
    SrtInput &operator=(const SrtInput &) = delete;

    // Resolves the endpoint's host and connects, blocking at most
    // connectTimeoutMs; the endpoint's latency (when it has one) is asked
    // for both ways, a non-empty passphrase decrypts the stream.
    bool connect(const SrtEndpoint &endpoint, int connectTimeoutMs);
    // > 0 bytes read; 0 = stopped; < 0 = the connection ended or failed.
    int read(uint8_t *buffer, int size);
    void close();

private:
    const std::atomic<bool> &m_stop;
    SrtSocket m_socket;
    std::vector<char> m_message;
    int m_messageOffset = 0;
    int m_messageSize = 0;
};

} // namespace mf
