// orvanta-udp-impair: forwards UDP between clients and a server on loopback
// with a loss ratio, a delay and a rate limit, both ways. Stands in for kernel
// network emulation, which tests cannot use here. Each client address gets a
// socket of its own towards the server, as behind a NAT, so that a program's
// several connections (media, return stream, arrows) each get their answers.
#include "ImpairedLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Port 0 only where anyPort is set (the listening side: the system picks one).
bool parseLoopback(const std::string &text, sockaddr_in *address, bool anyPort = false)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    *address = sockaddr_in{};
    address->sin_family = AF_INET;
    const int port = std::atoi(text.c_str() + colon + 1);
    if (port < (anyPort ? 0 : 1) || port > 65535 || inet_pton(AF_INET, text.substr(0, colon).c_str(), &address->sin_addr) != 1)
        return false;
    address->sin_port = htons(uint16_t(port));
    // Only loopback: the proxy must never send anywhere else.
    return (ntohl(address->sin_addr.s_addr) >> 24) == 127;
}

void usage()
{
    std::puts("usage: orvanta-udp-impair --listen 127.0.0.1:PORT --server 127.0.0.1:PORT\n"
              "         [--loss RATIO] [--delay MS] [--rate KBIT/S] [--down-rate KBIT/S] [--buffer MS]\n"
              "         [--rate-after S:KBIT/S] [--delay-after S:MS] [--blackout N:MS]\n"
              "         [--queue DATAGRAMS] [--seed N] [--lifetime S]\n"
              "Forwards UDP datagrams between each client that sends to --listen (up to 16, each from a\n"
              "socket of its own towards the server) and --server, both ways, losing RATIO (0..1) of them\n"
              "at random, delaying each by MS milliseconds and limiting each direction to KBIT/S\n"
              "(0 = unlimited; the clients share it), with a router buffer of MS milliseconds at that\n"
              "rate (default: no bound); --down-rate sets another limit towards the clients; --rate-after\n"
              "changes the limit towards the server S seconds after the start; --delay-after changes the\n"
              "delay of both directions S seconds after the start; --blackout loses every\n"
              "datagram towards the server for MS milliseconds after the first N. At most\n"
              "DATAGRAMS (default 10000) wait per direction; more are dropped. Loopback addresses only. --listen with port 0 takes a free port; the\n"
              "line \"orvanta-udp-impair: ready on HOST:PORT\" tells which. Ends on SIGINT/SIGTERM or\n"
              "after --lifetime seconds (default 3600) and prints its counters.");
}

struct Options {
    sockaddr_in listen{};
    sockaddr_in server{};
    ImpairedLink::Settings link;
    int lifetimeSeconds = 3600;
    int64_t downRateBytesPerSecond = -1;  // -1: as towards the server
    int rateChangeSeconds = -1;
    int64_t changedRateBytesPerSecond = 0;
    int delayChangeSeconds = -1;
    int64_t changedDelayNs = 0;
};

// One client and the socket that speaks for it towards the server.
struct Flow {
    sockaddr_in client{};
    int serverSide = -1;
};
constexpr size_t kMaxFlows = 16;

bool sameAddress(const sockaddr_in &a, const sockaddr_in &b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

int64_t bytesPerSecond(const std::string &kbps)
{
    return int64_t(std::atof(kbps.c_str()) * 1000.0 / 8.0);
}

bool parseOptions(int argc, char **argv, Options *options)
{
    bool haveListen = false;
    bool haveServer = false;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help")
            return false;
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        if (name == "--listen")
            haveListen = parseLoopback(value, &options->listen, true);
        else if (name == "--server")
            haveServer = parseLoopback(value, &options->server);
        else if (name == "--loss")
            options->link.lossRatio = std::atof(value.c_str());
        else if (name == "--delay")
            options->link.delayNs = int64_t(std::atof(value.c_str()) * 1e6);
        else if (name == "--rate")
            options->link.rateBytesPerSecond = bytesPerSecond(value);
        else if (name == "--down-rate")
            options->downRateBytesPerSecond = bytesPerSecond(value);
        else if (name == "--buffer")
            options->link.bufferNs = int64_t(std::atof(value.c_str()) * 1e6);
        else if (name == "--rate-after") {
            const size_t colon = value.find(':');
            if (colon == std::string::npos)
                return false;
            options->rateChangeSeconds = std::max(0, std::atoi(value.c_str()));
            options->changedRateBytesPerSecond = bytesPerSecond(value.substr(colon + 1));
        }
        else if (name == "--delay-after") {
            const size_t colon = value.find(':');
            if (colon == std::string::npos)
                return false;
            options->delayChangeSeconds = std::max(0, std::atoi(value.c_str()));
            options->changedDelayNs = int64_t(std::atof(value.c_str() + colon + 1) * 1e6);
        }
        else if (name == "--blackout") {
            const size_t colon = value.find(':');
            if (colon == std::string::npos)
                return false;
            options->link.blackoutAfter = std::strtoull(value.c_str(), nullptr, 10);
            options->link.blackoutNs = int64_t(std::atof(value.c_str() + colon + 1) * 1e6);
        }
        else if (name == "--queue")
            options->link.maxQueued = size_t(std::max(1, std::atoi(value.c_str())));
        else if (name == "--seed")
            options->link.seed = uint32_t(std::strtoul(value.c_str(), nullptr, 10));
        else if (name == "--lifetime")
            options->lifetimeSeconds = std::max(1, std::atoi(value.c_str()));
        else
            return false;
    }
    return haveListen && haveServer;
}

int boundUdpSocket(const sockaddr_in &address)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        std::perror("orvanta-udp-impair: bind");
        std::exit(2);
    }
    return fd;
}

// Towards the server each flow leaves from its own socket; towards the
// clients all leave from the listening one, to the flow's client.
void flush(ImpairedLink &link, const std::vector<Flow> &flows, bool towardsServer, int clientSide,
           const sockaddr_in &server)
{
    const int64_t now = nowNs();
    while (const std::vector<char> *datagram = link.ready(now)) {
        const Flow &flow = flows[link.readyFlow()];
        const int fd = towardsServer ? flow.serverSide : clientSide;
        const sockaddr_in &to = towardsServer ? server : flow.client;
        ::sendto(fd, datagram->data(), datagram->size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        link.pop();
    }
}

// The flow of a client, a new one for an address not seen before; -1 when
// there is no room for another.
int flowOf(std::vector<Flow> &flows, const sockaddr_in &client)
{
    for (size_t i = 0; i < flows.size(); ++i) {
        if (sameAddress(flows[i].client, client))
            return int(i);
    }
    if (flows.size() >= kMaxFlows)
        return -1;
    sockaddr_in anyLoopback{};
    anyLoopback.sin_family = AF_INET;
    anyLoopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    flows.push_back({client, boundUdpSocket(anyLoopback)});
    return int(flows.size() - 1);
}

void receiveFromClient(int clientSide, std::vector<Flow> &flows, ImpairedLink &up, char *buffer, size_t size)
{
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    const ssize_t got = ::recvfrom(clientSide, buffer, size, 0, reinterpret_cast<sockaddr *>(&from), &fromSize);
    const int flow = got >= 0 ? flowOf(flows, from) : -1;
    if (flow >= 0)
        up.push(buffer, size_t(got), nowNs(), uint32_t(flow));
}

void receiveFromServer(const std::vector<Flow> &flows, const std::vector<pollfd> &fds, ImpairedLink &down,
                       char *buffer, size_t size)
{
    for (size_t i = 0; i < flows.size() && i + 1 < fds.size(); ++i) {
        if (!(fds[i + 1].revents & POLLIN))
            continue;
        const ssize_t got = ::recv(flows[i].serverSide, buffer, size, 0);
        if (got >= 0)
            down.push(buffer, size_t(got), nowNs(), uint32_t(i));
    }
}

int64_t secondsAfter(int64_t startNs, int seconds)
{
    return seconds >= 0 ? startNs + int64_t(seconds) * 1000000000 : -1;
}

// The address as bound, so that a caller who asked for port 0 learns which.
void printReady(int fd)
{
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &size);
    char host[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &bound.sin_addr, host, sizeof host);
    std::printf("orvanta-udp-impair: ready on %s:%u\n", host, unsigned(ntohs(bound.sin_port)));
    std::fflush(stdout);
}

void printCounters(const char *direction, const ImpairedLink &link)
{
    const ImpairedLink::Counters &c = link.counters();
    std::printf("%s: forwarded %llu, lost %llu, overflowed %llu\n", direction, (unsigned long long)c.forwarded,
                (unsigned long long)c.lost, (unsigned long long)c.overflowed);
}
}

int main(int argc, char **argv)
{
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        usage();
        return argc > 1 && std::string(argv[1]) == "--help" ? 0 : 2;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    const int clientSide = boundUdpSocket(options.listen);
    std::vector<Flow> flows;

    ImpairedLink::Settings upSettings = options.link;
    ImpairedLink::Settings downSettings = options.link;
    downSettings.blackoutNs = 0;
    downSettings.seed = options.link.seed * 2654435761u + 1;
    if (options.downRateBytesPerSecond >= 0)
        downSettings.rateBytesPerSecond = options.downRateBytesPerSecond;
    ImpairedLink up(upSettings);
    ImpairedLink down(downSettings);
    const int64_t startNs = nowNs();
    const int64_t endNs = startNs + int64_t(options.lifetimeSeconds) * 1000000000;
    int64_t rateChangeNs = secondsAfter(startNs, options.rateChangeSeconds);
    int64_t delayChangeNs = secondsAfter(startNs, options.delayChangeSeconds);
    printReady(clientSide);

    char buffer[65536];
    while (!stopRequested && nowNs() < endNs) {
        const int64_t now = nowNs();
        if (rateChangeNs >= 0 && now >= rateChangeNs) {
            up.setRate(options.changedRateBytesPerSecond, now);
            rateChangeNs = -1;
            std::printf("orvanta-udp-impair: rate now %lld kbit/s\n", (long long)(options.changedRateBytesPerSecond * 8 / 1000));
            std::fflush(stdout);
        }
        if (delayChangeNs >= 0 && now >= delayChangeNs) {
            up.setDelay(options.changedDelayNs);
            down.setDelay(options.changedDelayNs);
            delayChangeNs = -1;
            std::printf("orvanta-udp-impair: delay now %lld ms\n", (long long)(options.changedDelayNs / 1000000));
            std::fflush(stdout);
        }
        int64_t wait = 100000000;
        for (ImpairedLink *link : {&up, &down}) {
            const int64_t linkWait = link->waitNs(now);
            if (linkWait >= 0)
                wait = std::min(wait, linkWait);
        }
        std::vector<pollfd> fds{{clientSide, POLLIN, 0}};
        for (const Flow &flow : flows)
            fds.push_back({flow.serverSide, POLLIN, 0});
        const int timeoutMs = int((wait + 999999) / 1000000);
        if (::poll(fds.data(), nfds_t(fds.size()), timeoutMs) > 0) {
            receiveFromServer(flows, fds, down, buffer, sizeof buffer);
            if (fds[0].revents & POLLIN)
                receiveFromClient(clientSide, flows, up, buffer, sizeof buffer);
        }
        flush(up, flows, true, clientSide, options.server);
        flush(down, flows, false, clientSide, options.server);
    }
    printCounters("to server", up);
    printCounters("to client", down);
    ::close(clientSide);
    for (const Flow &flow : flows)
        ::close(flow.serverSide);
    return 0;
}
