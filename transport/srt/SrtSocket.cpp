#include "transport/srt/SrtSocket.h"

#include <srt/srt.h>

void SrtSocket::reset(int socket)
{
    if (m_socket != kInvalid)
        srt_close(m_socket);
    m_socket = socket;
}
