#include "transport/srt/SrtSocket.h"

#include <srt/srt.h>

void SrtSocket::reset(int socket)
{
    if (m_socket != kInvalid)
        srt_close(m_socket);
    m_socket = socket;
}

int SrtSocket::receiveMessage(char *buffer, int size) const
{
    const int received = srt_recvmsg(m_socket, buffer, size);
    if (received == SRT_ERROR)
        return srt_getlasterror(nullptr) == SRT_ETIMEOUT ? 0 : -1;
    return received > 0 ? received : -1;
}
