// Relay benchmarks, everything on loopback:
//   bench_relay throughput BYTES [MBIT/S]  bytes from a TCP writer through
//       RESender to orvanta-studio, against srt-live-transmit carrying the same
//       bytes with the same MSS and latency, as fast as they go or at a given
//       rate: delivered Mbit/s and CPU seconds per delivered GB.
//   bench_relay delay COUNT  time from a TCP write to the message's arrival at
//       an SRT listener, against a direct SRT send: median and 99th percentile.
#include "transport/RESender.h"
#include "transport/SrtConnect.h"
#include "transport/srt/SrtLibrary.h"
#include "transport/srt/SrtSocket.h"

#include "tests/support/FreePorts.h"
#include "tests/support/StudioProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <srt/srt.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {
constexpr int kLatencyMs = 120;
constexpr int kMessage = 1316;

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double childCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
    // After the command: state is field 3, utime 14 and stime 15 (1-based).
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / sysconf(_SC_CLK_TCK);
}

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int connectTcp(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeFully(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written <= 0)
            return false;
        data += written;
        size -= size_t(written);
    }
    return true;
}

// Sleeps as needed so that `sent` bytes leave no faster than `mbits` Mbit/s
// since `startNs` (0: no pacing).
void pace(qint64 sent, double mbits, int64_t startNs)
{
    if (mbits <= 0)
        return;
    const int64_t dueNs = startNs + int64_t(sent * 8 / mbits * 1000.0);
    const int64_t aheadNs = dueNs - nowNs();
    if (aheadNs > 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(aheadNs));
}

struct Delivery {
    qint64 bytes = 0;
    double seconds = 0;
};

// Polls the studio until the stream's byte count reaches `bytes` or has not
// grown for three seconds; the time is that of the last growth.
Delivery waitForDelivery(const StudioProcess &studio, const QString &id, qint64 bytes, qint64 startNs)
{
    Delivery delivery;
    int64_t lastGrowthNs = nowNs();
    QDeadlineTimer deadline(120000);
    while (!deadline.hasExpired()) {
        const qint64 seen = qint64(StudioProcess::findStream(studio.status(), id, "media").value("bytes").toDouble());
        if (seen > delivery.bytes) {
            delivery.bytes = seen;
            lastGrowthNs = nowNs();
        }
        if (delivery.bytes >= bytes || nowNs() - lastGrowthNs > 3000000000LL)
            break;
        QThread::msleep(20);
    }
    delivery.seconds = (lastGrowthNs - startNs) / 1e9;
    return delivery;
}

void printThroughput(const char *name, const Delivery &delivery, qint64 pushed, double cpuSeconds)
{
    std::printf("%-18s delivered %6.1f MB of %6.1f MB in %6.2f s: %7.1f Mbit/s, CPU %6.2f s = %5.2f CPU s per "
                "delivered GB\n",
                name, delivery.bytes / 1e6, pushed / 1e6, delivery.seconds, delivery.bytes * 8 / delivery.seconds / 1e6,
                cpuSeconds, cpuSeconds / (delivery.bytes / 1e9));
}

int throughput(qint64 bytes, double mbits)
{
    const QString suffix = mbits > 0 ? QStringLiteral("-paced") : QString();
    StudioProcess studio;
    if (!studio.start()) {
        std::fprintf(stderr, "studio did not start: %s\n", studio.output().constData());
        return 1;
    }
    std::vector<char> block(size_t(kMessage) * 50);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = char(i * 7);

    // Relay: a writer thread pushes into RESender's TCP port as fast as it goes.
    RESender relay;
    relay.startRelay({QStringLiteral("127.0.0.1"), studio.srtPort(), "bench-relay" + suffix, kLatencyMs, QByteArray()});
    QDeadlineTimer portWait(10000);
    while (relay.listenPort < 1 && !portWait.hasExpired())
        QThread::msleep(5);
    const int fd = connectTcp(quint16(int(relay.listenPort)));
    if (fd < 0)
        return 1;
    QThread::msleep(200);  // relay connected and accepted
    const double cpuBefore = processCpuSeconds();
    const double mainCpuBefore = threadCpuSeconds();
    std::atomic<double> writerCpu{0};
    const int64_t start = nowNs();
    std::thread writer([&] {
        for (qint64 sent = 0; sent < bytes; sent += qint64(block.size())) {
            pace(sent, mbits, start);
            writeFully(fd, block.data(), block.size());
        }
        writerCpu = threadCpuSeconds();
    });
    const Delivery relayed = waitForDelivery(studio, "bench-relay" + suffix, bytes, start);
    writer.join();
    const double relayCpu = processCpuSeconds() - cpuBefore - writerCpu - (threadCpuSeconds() - mainCpuBefore);
    ::close(fd);
    relay.stopRelay();
    relay.wait(10000);

    // Reference: srt-live-transmit reading the same bytes from its standard input.
    QProcess reference;
    reference.start("srt-live-transmit",
                    {"-q", "-chunk:1316", "file://con",
                     QStringLiteral("srt://127.0.0.1:%1?streamid=bench-reference%2&mss=1360&latency=%3")
                         .arg(studio.srtPort())
                         .arg(suffix)
                         .arg(kLatencyMs)});
    if (!reference.waitForStarted(10000))
        return 1;
    QThread::msleep(500);
    const int64_t referenceStart = nowNs();
    for (qint64 sent = 0; sent < bytes; sent += qint64(block.size())) {
        pace(sent, mbits, referenceStart);
        // QProcess only passes its buffer on inside waitForBytesWritten() or an
        // event loop: wait until the pipe has taken all of it, or the rest of
        // the bytes would never reach srt-live-transmit.
        reference.write(block.data(), qint64(block.size()));
        while (reference.bytesToWrite() > 0 && reference.waitForBytesWritten(10000)) {
        }
    }
    const Delivery referenced = waitForDelivery(studio, "bench-reference" + suffix, bytes, referenceStart);
    const double referenceCpu = childCpuSeconds(reference.processId());
    reference.closeWriteChannel();
    if (!reference.waitForFinished(5000))
        reference.kill();
    reference.waitForFinished(5000);

    if (mbits > 0)
        std::printf("== relay at %.0f Mbit/s (MSS 1360, latency %d ms, loopback) ==\n", mbits, kLatencyMs);
    else
        std::printf("== relay throughput, as fast as it goes (MSS 1360, latency %d ms, loopback) ==\n", kLatencyMs);
    printThroughput("RESender", relayed, bytes, relayCpu);
    printThroughput("srt-live-transmit", referenced, bytes, referenceCpu);
    std::printf("ratio RESender/srt-live-transmit: throughput %.2fx, CPU per GB %.2fx\n",
                (relayed.bytes / relayed.seconds) / (referenced.bytes / referenced.seconds),
                (relayCpu / relayed.bytes) / (referenceCpu / referenced.bytes));
    return 0;
}

// The relay warms a new connection up with MPEG-TS null packets (PID 0x1FFF)
// before the first real message; they carry no send time.
bool isStuffing(const char *message)
{
    return quint8(message[0]) == 0x47 && (quint8(message[1]) & 0x1F) == 0x1F && quint8(message[2]) == 0xFF;
}

// An SRT listener that notes when each message arrives; a message carries its
// send time (nanoseconds) in its first eight bytes.
class ArrivalRecorder
{
public:
    bool listen()
    {
        m_port = freeLoopbackPort();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_port);
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        m_listener = SrtSocket(srt_create_socket());
        const int zero = 0;
        srt_setsockflag(m_listener.get(), SRTO_RCVLATENCY, &zero, sizeof zero);
        if (srt_bind(m_listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == SRT_ERROR
            || srt_listen(m_listener.get(), 4) == SRT_ERROR)
            return false;
        m_thread = std::thread([this] { serve(); });
        return true;
    }
    ~ArrivalRecorder()
    {
        m_listener.reset();
        if (m_thread.joinable())
            m_thread.join();
    }
    quint16 port() const { return m_port; }
    std::vector<int64_t> delaysNs()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_delays;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_delays.clear();
    }

private:
    void serve()
    {
        for (;;) {
            sockaddr_storage peer{};
            int size = sizeof peer;
            SrtSocket caller(srt_accept(m_listener.get(), reinterpret_cast<sockaddr *>(&peer), &size));
            if (!caller.isValid())
                return;
            char buffer[1500];
            for (;;) {
                const int received = srt_recvmsg(caller.get(), buffer, sizeof buffer);
                if (received <= 0)
                    break;
                const int64_t arrived = nowNs();
                if (received != kMessage || isStuffing(buffer))
                    continue;
                int64_t sentAt = 0;
                std::memcpy(&sentAt, buffer, sizeof sentAt);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_delays.push_back(arrived - sentAt);
            }
        }
    }

    quint16 m_port = 0;
    SrtSocket m_listener;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<int64_t> m_delays;
};

struct Percentiles {
    double medianMs = 0;
    double p99Ms = 0;
};

Percentiles percentilesOf(std::vector<int64_t> delays)
{
    if (delays.empty())
        return {};
    std::sort(delays.begin(), delays.end());
    return {delays[delays.size() / 2] / 1e6, delays[std::min(delays.size() - 1, delays.size() * 99 / 100)] / 1e6};
}

template<typename Send>
void sendTimed(int count, Send send)
{
    char message[kMessage] = {};
    for (int i = 0; i < count; ++i) {
        const int64_t now = nowNs();
        std::memcpy(message, &now, sizeof now);
        send(message);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool waitForCount(ArrivalRecorder &recorder, int count)
{
    QDeadlineTimer deadline(30000);
    while (int(recorder.delaysNs().size()) < count && !deadline.hasExpired())
        QThread::msleep(10);
    return int(recorder.delaysNs().size()) >= count;
}

int delay(int count)
{
    ArrivalRecorder recorder;
    if (!recorder.listen())
        return 1;

    SrtConnection connection =
        srtConnect({QStringLiteral("127.0.0.1"), recorder.port(), QStringLiteral("bench-direct"), kLatencyMs, QByteArray()});
    if (!connection.result.ok())
        return 1;
    SrtSocket direct = std::move(connection.socket);
    sendTimed(count, [&](const char *message) { srt_send(direct.get(), message, kMessage); });
    waitForCount(recorder, count * 95 / 100);
    QThread::msleep(500);
    const Percentiles directDelay = percentilesOf(recorder.delaysNs());
    direct.reset();
    recorder.clear();

    RESender relay;
    relay.startRelay({QStringLiteral("127.0.0.1"), recorder.port(), QStringLiteral("bench-relay"), kLatencyMs, QByteArray()});
    QDeadlineTimer portWait(10000);
    while (relay.listenPort < 1 && !portWait.hasExpired())
        QThread::msleep(5);
    const int fd = connectTcp(quint16(int(relay.listenPort)));
    if (fd < 0)
        return 1;
    int noDelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    QThread::msleep(200);
    sendTimed(count, [&](const char *message) { writeFully(fd, message, kMessage); });
    waitForCount(recorder, count * 95 / 100);
    QThread::msleep(500);
    const std::vector<int64_t> relayedDelays = recorder.delaysNs();
    const Percentiles relayDelay = percentilesOf(relayedDelays);
    ::close(fd);
    relay.stopRelay();
    relay.wait(10000);

    std::printf("== relay delay (%d messages every 2 ms, latency %d ms, loopback) ==\n", count, kLatencyMs);
    std::printf("direct SRT send   median %8.3f ms  p99 %8.3f ms\n", directDelay.medianMs, directDelay.p99Ms);
    std::printf("through RESender  median %8.3f ms  p99 %8.3f ms  (%zu of %d messages whole)\n", relayDelay.medianMs,
                relayDelay.p99Ms, relayedDelays.size(), count);
    std::printf("added by the relay: median %.3f ms, p99 %.3f ms\n", relayDelay.medianMs - directDelay.medianMs,
                relayDelay.p99Ms - directDelay.p99Ms);
    return 0;
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    startSrtLibrary();
    srt_setloglevel(LOG_CRIT);  // keep the figures readable
    const QStringList arguments = app.arguments();
    if ((arguments.size() == 3 || arguments.size() == 4) && arguments.at(1) == "throughput")
        return throughput(arguments.at(2).toLongLong(), arguments.value(3).toDouble());
    if (arguments.size() == 3 && arguments.at(1) == "delay")
        return delay(arguments.at(2).toInt());
    std::fprintf(stderr, "usage: bench_relay throughput BYTES [MBIT/S] | delay COUNT\n");
    return 2;
}
