#pragma once
#include "transport/srt/SrtCallerUrl.h"
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

    // Blocks at most connectTimeoutMs. A non-empty passphrase decrypts the stream.
    bool connect(const SrtCallerUrl &url, int connectTimeoutMs, const QByteArray &passphrase = QByteArray());
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
