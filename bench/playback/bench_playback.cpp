// Benchmarks of the writer and the reader, each against the ffmpeg command
// line doing the same job in the same run.
//   bench_playback writer CODEC WIDTH HEIGHT SECONDS KBPS [camera|noisy]
//   bench_playback player STUDIO_BINARY TS_FILE SECONDS
#include "media/EncoderConfig.h"
#include "tests/support/FreePorts.h"
#include "media/engine/MFFactory.h"
#include "media/engine/MFPreview.h"
#include "media/engine/MFReader.h"
#include "media/engine/MFTestPatternSource.h"
#include "media/engine/MFWriter.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QEventLoop>
#include <QTime>
#include <QWidget>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

double seconds(const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; }

double processCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double childrenCpu()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double threadCpu()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// The built-in Test Pattern camera's picture of frame `index`.
QImage cameraPicture(int width, int height, int index)
{
    QImage image(width, height, QImage::Format_RGB32);
    mf::MFTestPatternSource::draw(image, index, qint64(index) * 40);
    return image;
}

// Colour bars, a moving box, a running clock and sensor-like noise: detail
// enough that every encoder needs its full rate.
QImage noisyPicture(int width, int height, int index)
{
    QImage image(width, height, QImage::Format_RGB32);
    const QColor bars[] = {Qt::white, Qt::yellow, Qt::cyan, Qt::green, Qt::magenta, Qt::red, Qt::blue, Qt::black};
    QPainter painter(&image);
    for (int i = 0; i < 8; ++i)
        painter.fillRect(QRect(i * width / 8, 0, width / 8 + 1, height), bars[i]);
    const int box = height / 6;
    painter.fillRect(QRect((index * width / 25) % (width - box), height / 2 - box / 2, box, box), Qt::gray);
    painter.setPen(Qt::white);
    painter.setFont(QFont("Sans", height / 12));
    painter.fillRect(QRect(0, height * 3 / 4, width, height / 6), Qt::black);
    painter.drawText(QRect(0, height * 3 / 4, width, height / 6), Qt::AlignCenter,
                     QTime(0, 0).addMSecs(index * 40).toString("hh:mm:ss.zzz"));
    painter.end();
    // Sensor-like noise over the upper quarter keeps the encoder at its rate.
    quint32 seed = quint32(index) * 2654435761u + 1;
    for (int y = 0; y < height / 4; ++y) {
        auto *row = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int grain = int(seed >> 28) - 8;
            const QColor c = QColor::fromRgb(row[x]);
            row[x] = qRgb(qBound(0, c.red() + grain * 3, 255), qBound(0, c.green() + grain * 3, 255),
                          qBound(0, c.blue() + grain * 3, 255));
        }
    }
    return image;
}

// Stands in for the relay: takes the stream on a loopback port into a file.
class Receiver
{
public:
    explicit Receiver(const QString &path) : m_file(path)
    {
        m_file.open(QIODevice::WriteOnly);
        quint16 port = 0;
        m_listener = listenOnLoopback(&port);
        m_port = port;
        m_thread = std::thread([this] { run(); });
    }
    ~Receiver()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    int port() const { return m_port; }
    double cpu() const { return m_cpu; }
    void finish()
    {
        for (int i = 0; i < 500 && !m_done; ++i)
            QThread::msleep(10);
    }

private:
    void run()
    {
        int peer = -1;
        while (!m_stop && peer < 0) {
            pollfd p{m_listener, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0)
                peer = ::accept(m_listener, nullptr, nullptr);
        }
        char buffer[65536];
        while (!m_stop && peer >= 0) {
            pollfd p{peer, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::recv(peer, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            m_file.write(buffer, n);
        }
        if (peer >= 0)
            ::close(peer);
        m_file.close();
        m_cpu = threadCpu();
        m_done = true;
    }
    QFile m_file;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::atomic<double> m_cpu{0};
    std::thread m_thread;
};

double videoKbps(const QString &file, double duration)
{
    QProcess ffprobe;
    ffprobe.start("ffprobe", {"-v", "error", "-select_streams", "v", "-show_entries", "packet=size",
                              "-of", "csv=p=0", file});
    ffprobe.waitForFinished(120000);
    qint64 bytes = 0;
    for (const QByteArray &line : ffprobe.readAllStandardOutput().split('\n'))
        bytes += line.trimmed().split(',').first().toLongLong();
    return bytes * 8.0 / duration / 1000.0;
}

QStringList ffmpegCodecArguments(const QString &codec, int kbps)
{
    const QString rate = QString::number(kbps) + "k";
    QStringList args{"-pix_fmt", "yuv420p", "-g", "50", "-bf", "0", "-b:v", rate, "-maxrate", rate, "-bufsize", rate};
    if (codec == "libx264")
        return QStringList{"-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-profile:v", "main"} + args;
    if (codec == "mpeg2video")
        return QStringList{"-c:v", "mpeg2video", "-profile:v", "4"} + args;
    return {};
}

int benchWriter(const QString &codec, int width, int height, int secs, int kbps, bool noisy)
{
    QTemporaryDir dir;
    const int cycle = 25;
    std::vector<mf::MFFramePtr> frames;
    QFile raw(dir.filePath("cycle.raw"));
    raw.open(QIODevice::WriteOnly);
    for (int i = 0; i < cycle; ++i) {
        const QImage picture = noisy ? noisyPicture(width, height, i) : cameraPicture(width, height, i);
        raw.write(reinterpret_cast<const char *>(picture.constBits()), picture.sizeInBytes());
        frames.push_back(mf::MFFactory::fromImage(picture));
    }
    raw.close();

    const int total = secs * 25;
    const QString ours = dir.filePath("ours.ts");
    double cpu = 0;
    quint64 dropped = 0;
    {
        Receiver receiver(ours);
        mf::MFWriter writer;
        if (!writer.open(EncoderConfig::writerTarget(receiver.port()), EncoderConfig::writerConfiguration(kbps, 0, codec))) {
            std::printf("writer %-11s %4dx%-4d: cannot open\n", qPrintable(codec), width, height);
            return 1;
        }
        const double cpuStart = processCpu();
        const double feederStart = threadCpu();
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < total; ++i) {
            const qint64 due = qint64(i) * 40;
            while (clock.elapsed() < due)
                QThread::msleep(1);
            writer.put(frames[size_t(i % cycle)], 40);
        }
        writer.close();
        receiver.finish();
        cpu = processCpu() - cpuStart - (threadCpu() - feederStart) - receiver.cpu();
        dropped = writer.droppedFrames();
    }
    const double rate = videoKbps(ours, secs);

    const QStringList codecArgs = ffmpegCodecArguments(codec, kbps);
    QString reference = "no ffmpeg encoder for this codec";
    if (!codecArgs.isEmpty()) {
        QProcess ffmpeg;
        const double before = childrenCpu();
        ffmpeg.start("ffmpeg", QStringList{"-nostdin", "-v", "error", "-re", "-stream_loop", "-1", "-f", "rawvideo",
                                           "-pix_fmt", "bgra", "-s", QString("%1x%2").arg(width).arg(height),
                                           "-framerate", "25", "-i", raw.fileName(), "-frames:v", QString::number(total)}
                               + codecArgs + QStringList{"-f", "mpegts", "-y", dir.filePath("ffmpeg.ts")});
        ffmpeg.waitForFinished(secs * 3000 + 60000);
        const double ffmpegCpu = childrenCpu() - before;
        reference = QString("ffmpeg %1 s CPU/s, ratio %2, ffmpeg rate %3 kbit/s")
                        .arg(ffmpegCpu / secs, 0, 'f', 3)
                        .arg(cpu / ffmpegCpu, 0, 'f', 2)
                        .arg(videoKbps(dir.filePath("ffmpeg.ts"), secs), 0, 'f', 0);
    }
    std::printf("writer %-11s %-6s %4dx%-4d %d kbit/s: %.3f s CPU/s, dropped %llu of %d, rate %.0f kbit/s (%+.1f %%); %s\n",
                qPrintable(codec), noisy ? "noisy" : "camera", width, height, kbps, cpu / secs, (unsigned long long)dropped, total, rate,
                (rate / kbps - 1) * 100, qPrintable(reference));
    std::fflush(stdout);
    return 0;
}

int benchPlayer(int argc, char **argv, const QString &studioBinary, const QString &tsFile, int secs)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int srtPort = freeLoopbackPort();
    const int httpPort = freeLoopbackPort();
    QTemporaryDir dir;
    QProcess studio;
    studio.start(studioBinary, {"--srt", QString("127.0.0.1:%1").arg(srtPort), "--http",
                                QString("127.0.0.1:%1").arg(httpPort), "--record", dir.path(), "--feedback", tsFile});
    if (!studio.waitForStarted(5000))
        return 1;
    QThread::msleep(500);
    const QString url = QString("srt://127.0.0.1:%1?mode=caller&streamid=bench#feedbackplay").arg(srtPort);

    QWidget window;
    window.resize(960, 540);
    window.show();
    auto preview = std::make_shared<mf::MFPreview>();
    preview->enable(true, true);
    preview->attach(window.winId());

    mf::MFReader reader;
    reader.open(url, "network.low_delay=true network.buffer_max=2 network.open_async=true");
    // Wait for the first picture, then measure a steady run.
    std::atomic<bool> stop{false};
    std::atomic<int> pictures{0};
    // ORVANTA_BENCH_NO_PREVIEW=1 measures the reader alone.
    const bool withPreview = qEnvironmentVariableIsEmpty("ORVANTA_BENCH_NO_PREVIEW");
    std::thread loop([&] {
        while (!stop) {
            if (const mf::MFFramePtr frame = reader.read(-1)) {
                if (withPreview)
                    preview->put(frame, -1);
                if (!frame->image().isNull())  // sound alone is no picture
                    ++pictures;
            }
        }
    });
    QElapsedTimer wait;
    wait.start();
    while (pictures == 0 && wait.elapsed() < 10000) {
        QEventLoop idle;
        QTimer::singleShot(50, &idle, &QEventLoop::quit);
        idle.exec();
    }
    const int firstPictures = pictures;
    const double cpuStart = processCpu();
    QEventLoop running;
    QTimer::singleShot(secs * 1000, &running, &QEventLoop::quit);
    running.exec();
    const double cpu = processCpu() - cpuStart;
    const int shown = pictures - firstPictures;
    stop = true;
    loop.join();
    reader.close();

    QProcess ffmpeg;
    const double before = childrenCpu();
    ffmpeg.start("ffmpeg", {"-nostdin", "-v", "error", "-i", url, "-t", QString::number(secs), "-f", "null", "-"});
    ffmpeg.waitForFinished(secs * 3000 + 30000);
    const double ffmpegCpu = childrenCpu() - before;
    studio.terminate();
    studio.waitForFinished(3000);
    std::printf("player 1920x1080 feedback: reader+preview %.3f s CPU/s (%d pictures in %d s); "
                "ffmpeg decode %.3f s CPU/s; ratio %.2f\n",
                cpu / secs, shown, secs, ffmpegCpu / secs, cpu / qMax(ffmpegCpu, 1e-6));
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 7 && QString(argv[1]) == "writer") {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QGuiApplication app(argc, argv);  // fonts for the pattern
        return benchWriter(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]), atoi(argv[6]),
                           argc > 7 && QString(argv[7]) == "noisy");
    }
    if (argc >= 5 && QString(argv[1]) == "player")
        return benchPlayer(argc, argv, argv[2], argv[3], atoi(argv[4]));
    std::fprintf(stderr, "usage: bench_playback writer CODEC W H SECONDS KBPS [camera|noisy] | player STUDIO TS SECONDS\n");
    return 2;
}
