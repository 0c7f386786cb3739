#pragma once
#include <QProcess>

// orvanta-udp-impair as a child process for one test: forwards a free
// loopback port to serverPort with a rate limit and a loss ratio. The
// destructor stops it.
class UdpImpairProcess
{
public:
    UdpImpairProcess(quint16 serverPort, int kbitsPerSecond, double loss = 0);
    ~UdpImpairProcess();
    UdpImpairProcess(const UdpImpairProcess &) = delete;
    UdpImpairProcess &operator=(const UdpImpairProcess &) = delete;

    bool isReady() const { return m_ready; }
    quint16 port() const { return m_port; }
    static QString binaryPath();

private:
    quint16 m_port;
    QProcess m_proxy;
    bool m_ready = false;
};
