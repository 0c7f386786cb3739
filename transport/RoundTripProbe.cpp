#include "transport/RoundTripProbe.h"

#include <QElapsedTimer>
#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <random>

namespace {
// An SRT control packet: 16 bytes of header, then the handshake's 48 bytes.
constexpr int kHeaderBytes = 16;
constexpr int kHandshakeBytes = 48;
constexpr quint32 kHandshakeControl = 0x80000000u;  // control bit set, type 0: handshake
constexpr quint32 kCallerVersion = 4;               // a caller's induction asks as version 4
constexpr quint32 kCallerExtension = 2;
constexpr quint32 kInduction = 1;
constexpr quint32 kMtu = 1500;
constexpr quint32 kFlowWindow = 8192;

// Closes the descriptor when it goes.
class UdpSocket
{
public:
    UdpSocket() : m_fd(::socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~UdpSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

void put32(char *at, quint32 value)
{
    qToBigEndian(value, at);
}

using Packet = std::array<char, kHeaderBytes + kHandshakeBytes>;

// Our socket ID goes into the request and comes back as the destination of
// the answer, which tells the probes apart.
Packet inductionRequest(quint32 socketId, quint32 sequence, const in_addr &listener)
{
    Packet packet{};
    char *h = packet.data() + kHeaderBytes;
    put32(packet.data(), kHandshakeControl);
    put32(h, kCallerVersion);
    put32(h + 4, kCallerExtension);  // encryption 0 in the upper half
    put32(h + 8, sequence & 0x7FFFFFFFu);
    put32(h + 12, kMtu);
    put32(h + 16, kFlowWindow);
    put32(h + 20, kInduction);
    put32(h + 24, socketId);
    std::memcpy(h + 32, &listener, sizeof listener);  // the peer address, IPv4 in its first word
    return packet;
}

// The probe an answer belongs to; -1 for anything else.
int answeredProbe(const char *data, ssize_t size, const std::array<quint32, RoundTripProbe::kProbes> &ids)
{
    if (size < kHeaderBytes + kHandshakeBytes || qFromBigEndian<quint32>(data) != kHandshakeControl)
        return -1;
    const quint32 destination = qFromBigEndian<quint32>(data + 12);
    for (size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] == destination)
            return int(i);
    }
    return -1;
}
}

double RoundTripProbe::measureMs(const QString &address, quint16 port, const std::atomic<bool> *cancel)
{
    sockaddr_in listener{};
    listener.sin_family = AF_INET;
    listener.sin_port = htons(port);
    UdpSocket socket;
    if (socket.fd() < 0 || inet_pton(AF_INET, address.toLatin1().constData(), &listener.sin_addr) != 1
        || ::connect(socket.fd(), reinterpret_cast<const sockaddr *>(&listener), sizeof listener) != 0)
        return -1;
    std::mt19937 generator(std::random_device{}());
    std::array<quint32, kProbes> ids{};
    std::array<qint64, kProbes> sentNs{};
    for (quint32 &id : ids)
        id = (generator() & 0x3FFFFFFFu) | 1u;
    QElapsedTimer clock;
    clock.start();
    double best = -1;
    int sent = 0;
    while (clock.elapsed() < kWaitMs && !(cancel && *cancel)) {
        if (sent < kProbes && clock.elapsed() >= sent * kSpacingMs) {
            const Packet request = inductionRequest(ids[size_t(sent)], quint32(generator()), listener.sin_addr);
            sentNs[size_t(sent)] = clock.nsecsElapsed();
            ::send(socket.fd(), request.data(), request.size(), 0);
            ++sent;
        }
        pollfd readable{socket.fd(), POLLIN, 0};
        if (::poll(&readable, 1, kSpacingMs / 4) <= 0)
            continue;
        char answer[1500];
        const ssize_t size = ::recv(socket.fd(), answer, sizeof answer, 0);
        if (size < 0 && errno == ECONNREFUSED)
            break;  // nobody listens there
        const int probe = answeredProbe(answer, size, ids);
        if (probe < 0 || probe >= sent)
            continue;
        const double rtt = double(clock.nsecsElapsed() - sentNs[size_t(probe)]) / 1e6;
        best = best < 0 ? rtt : qMin(best, rtt);
        // The later probes can only confirm it once the last has had its time.
        if (sent == kProbes && clock.elapsed() >= (kProbes - 1) * kSpacingMs + 2 * best)
            break;
    }
    return best;
}
