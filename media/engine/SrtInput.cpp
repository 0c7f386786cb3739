#include "SrtInput.h"

#include "transport/srt/ResolveHost.h"
#include "transport/srt/SrtCaller.h"

#include <srt/srt.h>

#include <QDebug>
#include <cstring>

namespace mf {

SrtInput::SrtInput(const std::atomic<bool> &stop) : m_stop(stop), m_message(2048) {}

SrtInput::~SrtInput()
{
    close();
}

bool SrtInput::connect(const SrtCallerUrl &url, int connectTimeoutMs, const QByteArray &passphrase)
{
    close();
    const QString address = resolveHost(url.host);
    if (address.isEmpty()) {
        qWarning() << "MFReader: cannot resolve" << url.host;
        return false;
    }
    SrtCaller caller;
    caller.streamId = url.streamId.toUtf8();
    if (url.latencyMs >= 0)
        caller.latencyMs = url.latencyMs;
    caller.connectTimeoutMs = connectTimeoutMs;
    caller.receiveTimeoutMs = kPollMs;
    caller.passphrase = passphrase;
    QString reason;
    const QString failure = caller.connect(address, quint16(url.port), &m_socket, &reason);
    if (!failure.isEmpty()) {
        qDebug() << "MFReader: connect failed:" << qPrintable(reason);
        return false;
    }
    return true;
}

int SrtInput::read(uint8_t *buffer, int size)
{
    while (m_messageOffset >= m_messageSize) {
        if (m_stop || !m_socket.isValid())
            return 0;
        const int received = srt_recvmsg(m_socket.get(), m_message.data(), int(m_message.size()));
        if (received == SRT_ERROR) {
            if (srt_getlasterror(nullptr) == SRT_ETIMEOUT)
                continue;
            return -1;
        }
        if (received == 0)
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
