// The live mixer at 1920x1080, layout 30, Test Pattern camera plus screen
// capture of the X display: delivered frames per second, CPU seconds per
// second and resident memory over time; then ffmpeg doing the same job
// (x11grab + testsrc2 + scaled overlay, 25 fps, to -f null) in the same run.
//   bench_media_live [seconds=60] [memory_seconds=300]
#include "media/Mixer.h"
#include "media/ScreenSource.h"
#include "media/engine/MFPicturePool.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QEventLoop>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>

namespace {

class CountingSink : public mf::MFFrameSink
{
public:
    std::atomic<int> frames{0};
    int put(const mf::MFFramePtr &, int) override
    {
        ++frames;
        return 0;
    }
};

double cpuSeconds(int who)
{
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double residentMB()
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

// Runs the event loop (the preview paints there) for ms without spinning.
void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 60;
    const int memorySeconds = argc > 2 ? atoi(argv[2]) : 300;
    const QSize size(1920, 1080);

    QLabel preview;
    preview.resize(320, 180);
    preview.show();
    auto sink = std::make_shared<CountingSink>();
    Mixer mixer;
    mixer.setVideoDevice("Test Pattern");
    mixer.setAudioDevice("NO_AUDIO");
    mixer.setArea(-1, QRect());
    mixer.setActiveWriter(sink);
    mixer.setWriting(true);
    mixer.setLayout(30);
    mixer.start(preview.winId(), 10, size);
    spin(2000); // settle: capture opened, scalers made

    const double cpu0 = cpuSeconds(RUSAGE_SELF);
    const int frames0 = sink->frames;
    QElapsedTimer clock;
    clock.start();
    spin(seconds * 1000);
    const double wall = clock.elapsed() / 1000.0;
    const double fps = (sink->frames - frames0) / wall;
    const double ourCpu = (cpuSeconds(RUSAGE_SELF) - cpu0) / wall;
    const double rssFirst = residentMB();
    std::printf("ours:   %.2f frames/s delivered (goal >= 24.8), %.3f CPU s/s over %.0f s\n", fps, ourCpu, wall);
    std::printf("memory: %.1f MB resident after %d s (%.1f MB of it pictures kept for reuse)\n", rssFirst, seconds,
                mf::MFPicturePool::idleBytes() / 1048576.0);
    std::fflush(stdout);
    if (memorySeconds > seconds) {
        for (int t = seconds; t < memorySeconds; t += 20) {
            spin(qMin(20, memorySeconds - t) * 1000);
            if (qEnvironmentVariableIsSet("BENCH_MEDIA_TRACE"))
                std::printf("  %3d s: %.1f MB resident, %.1f MB pictures kept, %d screen frames queued\n",
                            qMin(t + 20, memorySeconds), residentMB(), mf::MFPicturePool::idleBytes() / 1048576.0,
                            mixer.screenSource()->queuedFrames());
        }
        const double rssLast = residentMB();
        std::printf("memory: %.1f MB resident after %d s (%.1f MB kept for reuse), difference %.1f MB (goal < 5)\n",
                    rssLast, memorySeconds, mf::MFPicturePool::idleBytes() / 1048576.0, rssLast - rssFirst);
    }
    mixer.stopAndWait(5000);

    const QRectF inset = Mixer::insetRect(size, size.width(), size.height());
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString filter = QStringLiteral("[1:v]scale=%1:%2[c];[0:v][c]overlay=%3:%4")
                               .arg(int(inset.width())).arg(int(inset.height()))
                               .arg(int(inset.x())).arg(qRound(inset.y()));
    const QStringList args = {"-hide_banner", "-loglevel", "error", "-nostdin",
                              "-f", "x11grab", "-framerate", "25", "-video_size", "1920x1080", "-draw_mouse", "0",
                              "-i", qEnvironmentVariable("DISPLAY"),
                              "-f", "lavfi", "-i", "testsrc2=s=1920x1080:r=25",
                              "-filter_complex", filter, "-r", "25", "-t", QString::number(seconds), "-f", "null", "-"};
    const double child0 = cpuSeconds(RUSAGE_CHILDREN);
    clock.restart();
    ffmpeg.start("ffmpeg", args);
    if (!ffmpeg.waitForStarted(5000) || !ffmpeg.waitForFinished((seconds + 30) * 1000)) {
        std::printf("ffmpeg did not run\n");
        return 1;
    }
    const double refWall = clock.elapsed() / 1000.0;
    const double refCpu = (cpuSeconds(RUSAGE_CHILDREN) - child0) / refWall;
    std::printf("ffmpeg: %.3f CPU s/s over %.0f s\n", refCpu, refWall);
    std::printf("CPU ratio ours/ffmpeg: %.2f (goal <= 1.20)\n", ourCpu / refCpu);
    return 0;
}
