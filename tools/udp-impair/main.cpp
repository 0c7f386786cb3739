// orvanta-udp-impair: forwards UDP between one client and a server on
// loopback with a loss ratio, a delay and a rate limit, both ways. Stands in
// for kernel network emulation, which tests cannot use here.
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
              "         [--rate-after S:KBIT/S] [--blackout N:MS]\n"
              "         [--queue DATAGRAMS] [--seed N] [--lifetime S]\n"
              "Forwards UDP datagrams between the first client that sends to --listen and --server, both ways,\n"
              "losing RATIO (0..1) of them at random, delaying each by MS milliseconds and limiting each\n"
              "direction to KBIT/S (0 = unlimited), with a router buffer of MS milliseconds at that rate\n"
              "(default: no bound); --down-rate sets another limit towards the client; --rate-after\n"
              "changes the limit towards the server S seconds after the start; --blackout loses every\n"
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
};

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

void flush(ImpairedLink &link, int fd, const sockaddr_in &to)
{
    const int64_t now = nowNs();
    while (const std::vector<char> *datagram = link.ready(now)) {
        ::sendto(fd, datagram->data(), datagram->size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        link.pop();
    }
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
    sockaddr_in anyLoopback{};
    anyLoopback.sin_family = AF_INET;
    anyLoopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int serverSide = boundUdpSocket(anyLoopback);

    ImpairedLink::Settings upSettings = options.link;
    ImpairedLink::Settings downSettings = options.link;
    downSettings.blackoutNs = 0;
    downSettings.seed = options.link.seed * 2654435761u + 1;
    if (options.downRateBytesPerSecond >= 0)
        downSettings.rateBytesPerSecond = options.downRateBytesPerSecond;
    ImpairedLink up(upSettings);
    ImpairedLink down(downSettings);
    sockaddr_in client{};
    bool haveClient = false;
    const int64_t startNs = nowNs();
    const int64_t endNs = startNs + int64_t(options.lifetimeSeconds) * 1000000000;
    int64_t rateChangeNs = options.rateChangeSeconds >= 0
        ? startNs + int64_t(options.rateChangeSeconds) * 1000000000 : -1;
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
        int64_t wait = 100000000;
        for (ImpairedLink *link : {&up, &down}) {
            const int64_t linkWait = link->waitNs(now);
            if (linkWait >= 0)
                wait = std::min(wait, linkWait);
        }
        pollfd fds[2] = {{clientSide, POLLIN, 0}, {serverSide, POLLIN, 0}};
        const int timeoutMs = int((wait + 999999) / 1000000);
        if (::poll(fds, 2, timeoutMs) > 0) {
            if (fds[0].revents & POLLIN) {
                sockaddr_in from{};
                socklen_t fromSize = sizeof from;
                const ssize_t size = ::recvfrom(clientSide, buffer, sizeof buffer, 0,
                                                reinterpret_cast<sockaddr *>(&from), &fromSize);
                if (size >= 0) {
                    client = from;
                    haveClient = true;
                    up.push(buffer, size_t(size), nowNs());
                }
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t size = ::recv(serverSide, buffer, sizeof buffer, 0);
                if (size >= 0 && haveClient)
                    down.push(buffer, size_t(size), nowNs());
            }
        }
        flush(up, serverSide, options.server);
        if (haveClient)
            flush(down, clientSide, client);
    }
    printCounters("to server", up);
    printCounters("to client", down);
    ::close(clientSide);
    ::close(serverSide);
    return 0;
}
