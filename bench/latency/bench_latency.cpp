// Glass to glass: the Test Pattern camera through the mixer, the writer, the
// relay, the studio's echo, the reader and the preview to the screen. The
// capture time burned into each picture is read back on the way: taps stamp
// when each picture was mixed, muxed (at the relay's input), received (a
// second feedback receiver beside the reader, on its own connection), decoded
// and painted, and the screen itself is read for when it was shown. Then the
// program's own window makes the trip, read off the screen only. Then the
// ffmpeg command line makes the same trip in the same run: the same pattern
// through x264 (zerolatency) and SRT to the studio's echo, read back by a
// low-delay ffmpeg.
// The CPU figures: the idle camera layout with its preview, a broadcast
// (mixer, writer, relay) against ffmpeg capturing, encoding and sending the
// same, at the same size (1280x720 unless ORVANTA_BENCH_FRAME names another).
// With ORVANTA_BENCH_THREADS set, the broadcast's and the reference's CPU
// is printed per thread as well; with ORVANTA_BENCH_CPU_ONLY set, only the
// CPU figures are measured; with ORVANTA_BENCH_KEEP_RECORDINGS set, the
// studio's recordings stay.
//   bench_latency STUDIO_BINARY SECONDS [ours|window|ffmpeg]
#include "tests/support/FreePorts.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/WindowForm.h"
#include "ScreenWatcher.h"
#include "StageStamps.h"
#include "TsTimeTap.h"

#include "app/services/SettingsKeys.h"
#include "app/session/BroadcastSession.h"
#include "app/window/MainWindow.h"
#include "media/EncoderConfig.h"
#include "media/Mixer.h"
#include "media/PlayerWorker.h"
#include "media/engine/MFDevice.h"
#include "media/engine/MFPreview.h"
#include "media/engine/MFPreviewTarget.h"
#include "media/engine/MFReader.h"
#include "media/engine/MFTestPatternSource.h"
#include "media/engine/MFWriter.h"
#include "media/engine/SrtInput.h"
#include "transport/RESender.h"
#include "transport/srt/SrtCallerUrl.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <thread>

namespace {

// The picture's size: the form's frame sizes by name (ORVANTA_BENCH_FRAME), HD unless told.
const QString kFrame = qEnvironmentVariable("ORVANTA_BENCH_FRAME", "HD");
const QSize kSize = kFrame == "FullHD" ? QSize(1920, 1080) : kFrame == "SD" ? QSize(960, 540) : QSize(1280, 720);
const QSize kWindowSize(800, 1000);  // tall: the small picture stays above the feedback picture
constexpr int kLatencyMs = 120;
constexpr int kVideoKbps = 1024;
constexpr int kAudioKbps = 128;

double cpuSeconds(int who)
{
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU ticks of each thread of a process, by thread id, with its name.
struct ThreadTimes
{
    struct Thread
    {
        QString name;
        qint64 ticks = 0;
    };
    std::map<int, Thread> threads;

    static ThreadTimes of(qint64 pid)
    {
        ThreadTimes times;
        const QString dir = pid > 0 ? QString("/proc/%1/task").arg(pid) : QString("/proc/self/task");
        for (const QString &tid : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile file(dir + "/" + tid + "/stat");
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray stat = file.readAll();
            const int open = stat.indexOf('('), close = stat.lastIndexOf(')');
            if (open < 0 || close < open)
                continue;
            // After the name: state, then fields 4.. ; utime and stime are fields 14 and 15.
            const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
            if (fields.size() < 13)
                continue;
            Thread &t = times.threads[tid.toInt()];
            t.name = QString::fromUtf8(stat.mid(open + 1, close - open - 1));
            t.ticks = fields[11].toLongLong() + fields[12].toLongLong();
        }
        return times;
    }

    // CPU seconds per second of each thread since before, busiest first,
    // threads of one name summed up.
    void print(const char *who, const ThreadTimes &before, double seconds) const
    {
        const double tick = double(sysconf(_SC_CLK_TCK));
        std::map<QString, double> byName;
        for (const auto &entry : threads) {
            const auto old = before.threads.find(entry.first);
            const qint64 ticks = entry.second.ticks - (old == before.threads.end() ? 0 : old->second.ticks);
            byName[entry.second.name] += ticks / tick / seconds;
        }
        std::vector<std::pair<double, QString>> rows;
        for (const auto &entry : byName)
            rows.emplace_back(entry.second, entry.first);
        std::sort(rows.rbegin(), rows.rend());
        std::printf("  %s per thread:", who);
        for (const auto &row : rows) {
            if (row.first >= 0.0005)
                std::printf(" %s %.3f;", qPrintable(row.second), row.first);
        }
        std::printf("\n");
    }
};

bool threadsWanted() { return qEnvironmentVariableIsSet("ORVANTA_BENCH_THREADS"); }

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool spinUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        spin(20);
    }
    return true;
}

QString feedbackUrl(int srtPort, const QString &id)
{
    return QString("srt://127.0.0.1:%1?mode=caller&streamid=%2#feedbackplay").arg(srtPort).arg(id);
}

// The writer as the mixer sees it, stamping each picture handed over.
class StampingSink : public mf::MFFrameSink
{
public:
    StampingSink(std::shared_ptr<mf::MFWriter> writer, StageStamps &stamps) : m_writer(std::move(writer)), m_stamps(stamps) {}
    int put(const mf::MFFramePtr &frame, int timeoutMs) override
    {
        const qint64 captured = frame ? StageStamps::captureTime(frame->image()) : -1;
        m_stamps.noteFrame(m_index++, captured);
        m_stamps.stamp(StageStamps::Mixed, captured, StageStamps::nowMs());
        return m_writer->put(frame, timeoutMs);
    }

private:
    std::shared_ptr<mf::MFWriter> m_writer;
    StageStamps &m_stamps;
    qint64 m_index = 0;
};

// Sits between the writer and the relay on loopback TCP and stamps each
// picture's PES as it goes past.
class TcpTap
{
public:
    TcpTap(int relayPort, StageStamps &stamps)
        : m_relayPort(relayPort), m_parser([&stamps](qint64 pts) { stamps.stampPts(StageStamps::Muxed, pts, StageStamps::nowMs()); })
    {
        quint16 port = 0;
        m_listener = listenOnLoopback(&port);
        m_port = port;
        m_thread = std::thread([this] { run(); });
    }
    ~TcpTap()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    int port() const { return m_port; }

private:
    static int connectTo(int port)
    {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(quint16(port));
        if (::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
            ::close(s);
            return -1;
        }
        const int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return s;
    }
    void run()
    {
        int writer = -1;
        while (!m_stop && writer < 0) {
            pollfd p{m_listener, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0)
                writer = ::accept(m_listener, nullptr, nullptr);
        }
        const int relay = writer >= 0 ? connectTo(m_relayPort) : -1;
        char buffer[65536];
        while (!m_stop && writer >= 0 && relay >= 0) {
            pollfd p{writer, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::recv(writer, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            m_parser.feed(buffer, int(n));
            for (ssize_t sent = 0; sent < n;) {
                const ssize_t k = ::send(relay, buffer + sent, size_t(n - sent), MSG_NOSIGNAL);
                if (k <= 0)
                    break;
                sent += k;
            }
        }
        if (writer >= 0)
            ::close(writer);
        if (relay >= 0)
            ::close(relay);
    }
    int m_relayPort;
    int m_listener = -1;
    int m_port = 0;
    TsTimeTap m_parser;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A second feedback receiver beside the reader, with the same link settings:
// stamps each picture's PES as SRT hands it out.
class SrtTap
{
public:
    SrtTap(const QString &url, StageStamps &stamps)
        : m_parser([&stamps](qint64 pts) { stamps.stampPts(StageStamps::Received, pts, StageStamps::nowMs()); })
    {
        m_url = SrtCallerUrl::parse(url).value_or(SrtEndpoint());
        m_thread = std::thread([this] { run(); });
    }
    ~SrtTap()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void run()
    {
        mf::SrtInput input(m_stop);
        while (!m_stop && !input.connect(m_url, 1000))
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        uint8_t buffer[1316];
        while (!m_stop) {
            const int n = input.read(buffer, sizeof buffer);
            if (n < 0) {
                input.connect(m_url, 1000);
                continue;
            }
            if (n > 0)
                m_parser.feed(reinterpret_cast<const char *>(buffer), n);
        }
    }
    SrtEndpoint m_url;
    TsTimeTap m_parser;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Stamps the frame the preview is about to paint: installed after the
// preview's own filter, so it sees each paint event first.
class PaintWatcher : public QObject
{
public:
    PaintWatcher(std::shared_ptr<mf::MFPreview> preview, StageStamps &stamps) : m_preview(std::move(preview)), m_stamps(stamps) {}
    std::atomic<int> painted{0};

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            const mf::MFFramePtr frame = m_preview->lastFrame();
            if (frame && frame != m_last) {
                m_last = frame;
                m_stamps.stamp(StageStamps::Painted, StageStamps::captureTime(frame->image()), StageStamps::nowMs());
                ++painted;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::shared_ptr<mf::MFPreview> m_preview;
    StageStamps &m_stamps;
    mf::MFFramePtr m_last;
};

class Studio
{
public:
    explicit Studio(const QString &binary)
    {
        m_srtPort = freeLoopbackPort();
        const int httpPort = freeLoopbackPort();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(binary, {"--srt", QString("127.0.0.1:%1").arg(m_srtPort), "--http",
                                 QString("127.0.0.1:%1").arg(httpPort), "--record", m_dir.path()});
        m_process.waitForStarted(5000);
        if (qEnvironmentVariableIsSet("ORVANTA_BENCH_KEEP_RECORDINGS")) {
            m_dir.setAutoRemove(false);
            std::printf("studio recordings in %s\n", qPrintable(m_dir.path()));
        }
        QElapsedTimer clock;
        clock.start();
        while (!m_process.readAll().contains("studio") && clock.elapsed() < 5000)
            m_process.waitForReadyRead(200);
    }
    ~Studio()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }
    int srtPort() const { return m_srtPort; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_srtPort = 0;
};

void printLatency(const char *who, const StageStamps &stamps, int last, const std::vector<int> &stages)
{
    const std::vector<double> total = stamps.sinceCapture(last);
    std::printf("%s glass to glass (capture to %s): median %.0f ms, p95 %.0f ms, %zu pictures\n", who,
                StageStamps::name(last), StageStamps::percentile(total, 0.5), StageStamps::percentile(total, 0.95),
                total.size());
    int previous = StageStamps::Captured;
    for (int stage : stages) {
        const std::vector<double> step = stamps.sincePrevious(stage, previous);
        const std::vector<double> sum = stamps.sinceCapture(stage);
        std::printf("  %-9s +%6.1f ms (median step from %s), %6.1f ms after capture, p95 %6.1f ms\n",
                    StageStamps::name(stage), StageStamps::percentile(step, 0.5), StageStamps::name(previous),
                    StageStamps::percentile(sum, 0.5), StageStamps::percentile(sum, 0.95));
        previous = stage;
    }
    std::fflush(stdout);
}

struct Ours
{
    Ours(QLabel &cameraView) : preview(std::make_shared<mf::MFPreview>())
    {
        mixer.setVideoDevice("Test Pattern");
        mixer.setLayout(10);
        mixer.start(cameraView.winId(), 10, kSize);
    }
    Mixer mixer;
    std::shared_ptr<mf::MFPreview> preview;
};

// The process's CPU seconds per second while the event loop runs for secs.
double measureCpu(int secs, bool perThread = false)
{
    const ThreadTimes threadsBefore = ThreadTimes::of(0);
    const double before = cpuSeconds(RUSAGE_SELF);
    QElapsedTimer clock;
    clock.start();
    spin(secs * 1000);
    const double seconds = clock.elapsed() / 1000.0;
    const double cpu = (cpuSeconds(RUSAGE_SELF) - before) / seconds;
    if (perThread)
        ThreadTimes::of(0).print("ours", threadsBefore, seconds);
    return cpu;
}

double ffmpegBroadcastCpu(int srtPort, int secs)
{
    QProcess ffmpeg;
    const double before = cpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer clock;
    clock.start();
    ffmpeg.start("ffmpeg", {"-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
                            QString("testsrc2=size=%1x%2:rate=25").arg(kSize.width()).arg(kSize.height()), "-f", "lavfi",
                            "-i", "sine=frequency=1000:sample_rate=44100", "-t", QString::number(secs), "-c:v",
                            "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-g", "50", "-bf", "0", "-b:v",
                            "1024k", "-maxrate", "1024k", "-bufsize", "1024k", "-pix_fmt", "yuv420p", "-c:a", "aac",
                            "-b:a", "128k", "-f", "mpegts",
                            QString("srt://127.0.0.1:%1?streamid=refcpu&latency=%2").arg(srtPort).arg(kLatencyMs * 1000)});
    if (threadsWanted() && ffmpeg.waitForStarted(5000)) {
        // Its threads' times just before it ends (from its start).
        spin(secs * 1000 - 500);
        ThreadTimes::of(ffmpeg.processId()).print("ffmpeg", ThreadTimes(), clock.elapsed() / 1000.0);
    }
    ffmpeg.waitForFinished(secs * 3000 + 30000);
    return (cpuSeconds(RUSAGE_CHILDREN) - before) / (clock.elapsed() / 1000.0);
}

void runOurs(const QString &studioBinary, int secs)
{
    QLabel cameraView;
    cameraView.resize(320, 180);
    cameraView.move(0, 0);
    cameraView.show();
    QLabel feedbackView;
    feedbackView.resize(640, 360);
    feedbackView.move(330, 0);
    feedbackView.show();

    Ours ours(cameraView);
    spin(2000);
    const double idle = measureCpu(qMin(secs, 10));
    std::printf("idle (camera layout, preview only): %.3f CPU s/s (goal <= 0.15)\n", idle);
    std::fflush(stdout);

    Studio studio(studioBinary);
    StageStamps stamps;
    RESender relay;
    relay.startRelay({QStringLiteral("127.0.0.1"), studio.srtPort(), QStringLiteral("bench"), kLatencyMs, QByteArray()});
    spinUntil([&] { return relay.listenPort != 0; }, 10000);
    {
        // Broadcasting without a player: mixer, writer and relay.
        auto writer = EncoderConfig::createWriter(kVideoKbps, kAudioKbps, relay.listenPort, "libx264");
        ours.mixer.setActiveWriter(writer);
        ours.mixer.setWriting(true);
        spin(1000);
        const double broadcast = measureCpu(qMin(secs, 10), threadsWanted());
        ours.mixer.setWriting(false);
        writer->close();
        ours.mixer.setActiveWriter(nullptr);
        relay.stopRelay();
        relay.wait(10000);
        const double reference = ffmpegBroadcastCpu(studio.srtPort(), qMin(secs, 10));
        std::printf("broadcast %dx%d x264 (mixer, writer, relay): %.3f CPU s/s; ffmpeg capture+encode+send %.3f CPU s/s; "
                    "ratio %.2f (goal <= 1.00)\n",
                    kSize.width(), kSize.height(), broadcast, reference, broadcast / std::max(reference, 1e-6));
        std::fflush(stdout);
    }
    if (qEnvironmentVariableIsSet("ORVANTA_BENCH_CPU_ONLY"))
        return;

    RESender tappedRelay;
    tappedRelay.startRelay(
        {QStringLiteral("127.0.0.1"), studio.srtPort(), QStringLiteral("bench2"), kLatencyMs, QByteArray()});
    spinUntil([&] { return tappedRelay.listenPort != 0; }, 10000);
    TcpTap tcpTap(tappedRelay.listenPort, stamps);
    SrtTap srtTap(feedbackUrl(studio.srtPort(), "bench2"), stamps);

    ours.preview->enable(true, true);
    ours.preview->attach(feedbackView.winId());
    mf::MFReader reader;
    reader.open(feedbackUrl(studio.srtPort(), "bench2"), PlayerWorker().readerOptions());
    std::atomic<bool> stop{false};
    std::thread player([&] {
        while (!stop) {
            if (const mf::MFFramePtr frame = reader.read(-1)) {
                stamps.stamp(StageStamps::Decoded, StageStamps::captureTime(frame->image()), StageStamps::nowMs());
                ours.preview->put(frame, -1);
            }
        }
    });
    spin(200);
    PaintWatcher watcher(ours.preview, stamps);
    feedbackView.installEventFilter(&watcher);
    // The whole view shows the picture: both are 16:9.
    const qreal scale = feedbackView.devicePixelRatioF();
    const QRect shownArea(feedbackView.mapToGlobal(QPoint(0, 0)) * scale, feedbackView.size() * scale);
    ScreenWatcher screen(shownArea, stamps);

    auto writer = EncoderConfig::createWriter(kVideoKbps, kAudioKbps, tcpTap.port(), "libx264");
    ours.mixer.setActiveWriter(std::make_shared<StampingSink>(writer, stamps));
    ours.mixer.setWriting(true);
    spinUntil([&] { return watcher.painted > 0; }, 15000);
    spin(2000);
    stamps.countFrom(StageStamps::nowMs());  // the steady state only
    spin(secs * 1000);
    ours.mixer.setWriting(false);
    printLatency("ours:  ", stamps, StageStamps::Shown,
                 {StageStamps::Mixed, StageStamps::Muxed, StageStamps::Received, StageStamps::Decoded,
                  StageStamps::Painted, StageStamps::Shown});
    std::printf("  (received: on a connection of its own, whose timing may differ from the reader's by a few ms;\n"
                "   shown: read off the screen every %.1f ms; %s)\n",
                screen.fetchIntervalMs(), ScreenWatcher::desktopKind());
    writer->close();
    stop = true;
    player.join();
    reader.close();
    feedbackView.removeEventFilter(&watcher);
    tappedRelay.stopRelay();
    tappedRelay.wait(10000);
    ours.mixer.stopAndWait(5000);
}

// The program's own window: the Test Pattern camera alone, broadcast to the
// studio with the form's settings, and the echo in the window's feedback view,
// read off the screen. Only capture and shown are known here; the run above
// shows where the time goes.
void runWindow(const QString &studioBinary, int secs)
{
    Studio studio(studioBinary);
    const QString server = QStringLiteral("127.0.0.1:%1").arg(studio.srtPort());
    {
        QSettings store(QSettings::IniFormat, QSettings::UserScope, SettingsKeys::Organisation,
                        SettingsKeys::Application);
        store.setValue(SettingsKeys::Mode, "CAMERA");
        store.setValue(SettingsKeys::VideoSource, mf::MFDevice::kTestPattern);
        store.setValue(SettingsKeys::Frame, kFrame);
        store.setValue(SettingsKeys::ConfirmedServers, QStringList{server});
    }
    StageStamps stamps;
    MainWindow window{QString()};
    window.move(0, 0);
    window.resize(kWindowSize);
    window.show();
    const WindowForm ui(&window);
    ui.txtURL->setText(server);
    ui.txtStreamID->setText(QStringLiteral("window"));
    ui.spbLatency->setValue(kLatencyMs);
    ui.spbVBR->setValue(kVideoKbps);
    ui.cmdStart->click();
    const BroadcastSession *session = window.findChild<BroadcastSession *>();
    if (!spinUntil([&] { return session->state() == BroadcastSession::State::Live; }, 20000)) {
        std::printf("window: the broadcast did not go live\n");
        return;
    }
    spin(1000);  // the page's layout settles
    const QLabel *view = ui.lblStudioPreview;
    const qreal scale = view->devicePixelRatioF();
    const QRect picture = mf::MFPreviewTarget::pictureArea(kSize, view->rect()).translated(view->mapToGlobal(QPoint(0, 0)));
    const QRect smallPicture(ui.frameInFrame_2->mapToGlobal(QPoint(0, 0)), ui.frameInFrame_2->size());
    if (ui.frameInFrame_2->isVisible() && smallPicture.intersects(picture.adjusted(0, 0, 0, -picture.height() * 3 / 4)))
        std::printf("window: the small picture %d,%d %dx%d covers the feedback's code\n", smallPicture.x(),
                    smallPicture.y(), smallPicture.width(), smallPicture.height());
    ScreenWatcher screen(QRect(picture.topLeft() * scale, picture.size() * scale), stamps);
    if (!spinUntil([&] { return screen.shownCount() > 0; }, 20000)) {
        std::printf("window: no feedback picture was read off the screen\n");
        return;
    }
    spin(2000);
    stamps.countFrom(StageStamps::nowMs());
    spin(secs * 1000);
    printLatency("window:", stamps, StageStamps::Shown, {StageStamps::Shown});
    std::printf("  (feedback view %dx%d, picture %dx%d; read off the screen every %.1f ms; %s)\n", view->width(),
                view->height(), picture.width(), picture.height(), screen.fetchIntervalMs(), ScreenWatcher::desktopKind());
    ui.stopBtn->click();
    spinUntil([&] { return !session->isWinding(); }, 20000);
}

// ffmpeg's trip: the pattern drawn here at 25 frames per second, piped into
// ffmpeg (x264 zerolatency, SRT to the studio), the echo read back by a
// low-delay ffmpeg that pipes small raw pictures here, read on arrival. Both
// run through the shell with plain pipes; each notes its process id in a file
// so that it can be ended when the measurement is over.
void runReference(const QString &studioBinary, int secs)
{
    Studio studio(studioBinary);
    StageStamps stamps;
    const QSize small(640, 360);
    std::atomic<bool> stop{false};
    std::atomic<int> received{0};
    QTemporaryDir pids;
    const QString readerPid = pids.filePath("reader.pid");
    const QString senderPid = pids.filePath("sender.pid");
    const QString readerCommand =
        QString("echo $$ > '%1'; exec ffmpeg -nostdin -v error -fflags nobuffer -flags low_delay -probesize 32 -analyzeduration 0 "
                "-i 'srt://127.0.0.1:%2?streamid=ref#feedbackplay' -map 0:v -vf scale=%3:%4 -f rawvideo -pix_fmt bgra pipe:1")
            .arg(readerPid).arg(studio.srtPort()).arg(small.width()).arg(small.height());
    const QString senderCommand =
        QString("echo $$ > '%5'; exec ffmpeg -nostdin -v error -f rawvideo -pix_fmt bgra -s %1x%2 -framerate 25 -i pipe:0 -c:v libx264 "
                "-preset veryfast -tune zerolatency -g 50 -bf 0 -b:v 1024k -maxrate 1024k -bufsize 1024k -pix_fmt yuv420p "
                "-flush_packets 1 -f mpegts 'srt://127.0.0.1:%3?streamid=ref&latency=%4'")
            .arg(kSize.width()).arg(kSize.height()).arg(studio.srtPort()).arg(kLatencyMs * 1000).arg(senderPid);
    std::thread reader([&] {
        FILE *pipe = ::popen(readerCommand.toLocal8Bit().constData(), "r");
        if (!pipe)
            return;
        QImage picture(small, QImage::Format_RGB32);
        const size_t frameBytes = size_t(picture.sizeInBytes());
        while (std::fread(picture.bits(), 1, frameBytes, pipe) == frameBytes) {
            if (!stop)
                stamps.stamp(StageStamps::Decoded, StageStamps::captureTime(picture), StageStamps::nowMs());
            ++received;
        }
        ::pclose(pipe);
    });
    std::thread sender([&] {
        FILE *pipe = ::popen(senderCommand.toLocal8Bit().constData(), "w");
        if (!pipe)
            return;
        QImage picture(kSize, QImage::Format_RGB32);
        picture.fill(Qt::darkGray);
        QElapsedTimer clock;
        clock.start();
        for (qint64 n = 0; !stop; ++n) {
            while (clock.elapsed() < n * 40)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            mf::MFTestPatternSource::draw(picture, n, StageStamps::nowMs());
            if (std::fwrite(picture.constBits(), 1, size_t(picture.sizeInBytes()), pipe) != size_t(picture.sizeInBytes()))
                break;
            std::fflush(pipe);
        }
        ::pclose(pipe);
    });
    QElapsedTimer clock;
    clock.start();
    while (received == 0 && clock.elapsed() < 15000)
        spin(50);
    spin(2000);
    stamps.countFrom(StageStamps::nowMs());
    spin(secs * 1000);
    if (received == 0)
        std::printf("ffmpeg: no picture came back\n");
    printLatency("ffmpeg:", stamps, StageStamps::Decoded, {StageStamps::Decoded});
    stop = true;
    // Both are done with: a closing SRT connection may linger for minutes.
    for (const QString &pidFile : {senderPid, readerPid}) {
        QFile file(pidFile);
        const pid_t pid = file.open(QIODevice::ReadOnly) ? pid_t(file.readAll().trimmed().toInt()) : 0;
        if (pid > 0)
            ::kill(pid, SIGKILL);
    }
    sender.join();
    reader.join();
}

} // namespace

int main(int argc, char **argv)
{
    PrivateHome home;  // the window's settings and temporary files
    QApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);  // the reference's pipes end when its processes are ended
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_latency STUDIO_BINARY SECONDS\n");
        return 2;
    }
    const QString studio = QString::fromLocal8Bit(argv[1]);
    const int secs = qMax(5, atoi(argv[2]));
    std::printf("latency %d ms on loopback, %dx%d, x264 %d kbit/s, %d s per run\n", kLatencyMs, kSize.width(),
                kSize.height(), kVideoKbps, secs);
    const QString only = argc > 3 ? QString(argv[3]) : QString();
    if (only.isEmpty() || only == "ours")
        runOurs(studio, secs);
    if ((only.isEmpty() || only == "window") && !qEnvironmentVariableIsSet("ORVANTA_BENCH_CPU_ONLY"))
        runWindow(studio, secs);
    if ((only.isEmpty() || only == "ffmpeg") && !qEnvironmentVariableIsSet("ORVANTA_BENCH_CPU_ONLY"))
        runReference(studio, secs);
    return 0;
}
