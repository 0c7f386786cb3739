#include "SrtInput.h"

#include "transport/srt/ResolveHost.h"
#include "transport/srt/SrtCaller.h"

#include <QDebug>
#include <cstring>

namespace mf {

SrtInput::SrtInput(const std::atomic<bool> &stop) : m_stop(stop), m_message(2048) {}

SrtInput::~SrtInput()
{
    close();
}

bool SrtInput::connect(const SrtEndpoint &endpoint, int connectTimeoutMs)
{
    close();
    const QString address = resolveHost(endpoint.host);
    if (address.isEmpty()) {
        qWarning() << "MFReader: cannot resolve" << endpoint.host;
        return false;
    }
    SrtCaller caller;
    caller.streamId = endpoint.streamId.toUtf8();
    if (endpoint.latencyMs != SrtEndpoint::kLibraryLatency)
        caller.latencyMs = endpoint.latencyMs;
    caller.connectTimeoutMs = connectTimeoutMs;
    caller.receiveTimeoutMs = kPollMs;
    caller.passphrase = endpoint.passphrase;
    const StepResult result = caller.connect(address, quint16(endpoint.port), &m_socket);
    if (!result.ok()) {
        qDebug() << "MFReader: connect failed:" << qPrintable(result.reason());
        return false;
    }
    return true;
}

int SrtInput::read(uint8_t *buffer, int size)
{
    while (m_messageOffset >= m_messageSize) {
        if (m_stop || !m_socket.isValid())
            return 0;
        const int received = m_socket.receiveMessage(m_message.data(), int(m_message.size()));
        if (received == 0)
            continue;  // the receive time-out: look at the stop flag again
        if (received < 0)
            return -1;
        m_messageOffset = 0;
        m_messageSize = received;
    }
    const int count = qMin(size, m_messageSize - m_messageOffset);
    std::memcpy(buffer, m_message.data() + m_messageOffset, size_t(count));
    m_messageOffset += count;
    return count;
}

void SrtInput::close()
{
    m_socket.reset();
    m_messageOffset = m_messageSize = 0;
}

} // namespace mf
