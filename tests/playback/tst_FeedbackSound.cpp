// The feedback player against studio feedback files made with ffmpeg: the
// sound reaches the sound server's output whatever the picture does.
#include "media/Mixer.h"
#include "media/PlayerWorker.h"
#include "media/engine/MFPreview.h"
#include "media/engine/MFAudioInput.h"
#include "media/engine/EchoReference.h"
#include "media/engine/MFFrameSink.h"
#include "media/engine/MFSoundOutput.h"
#include "media/engine/MFSoundServerEvents.h"
#include "tests/support/FfmpegPrograms.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/PrivateSoundServer.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TestMain.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <cmath>
#include <thread>

namespace {

constexpr int kWaitMs = 30000;

// A sine of amplitude 4000 at the sound output's rate, `frames` long,
// interleaved over `channels`.
std::vector<int16_t> sine(int hz, int frames, int channels)
{
    std::vector<int16_t> sound(size_t(frames) * size_t(channels));
    for (size_t i = 0; i < sound.size(); ++i)
        sound[i] = int16_t(4000 * std::sin(2 * M_PI * hz * double(i / size_t(channels)) / mf::MFSoundOutput::kSampleRate));
    return sound;
}

// The child of stoppedSoundMayFinishAfterTheProgram: sound plays, the output
// is stopped as the program ends, and its thread, still in the middle of a
// write, finishes after main() has returned.
int exitWhilePlaying()
{
    mf::MFSoundOutput output;
    output.start();
    const std::vector<int16_t> tone = sine(440, mf::MFSoundOutput::kSampleRate / 10, 2);
    const auto played = [] { return mf::EchoReference::shared()->heardAt(std::chrono::steady_clock::now()) > 0; };
    for (int i = 0; i < 100 && !played(); ++i) {
        output.push(tone.data(), int(tone.size() / 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return played() ? 0 : 3;
}
constexpr int kToneHz = 660;  // no other test plays it into the sink
constexpr int kRate = 44100;
constexpr int kWindow = kRate / 100;  // 10 ms
constexpr double kToneLevel = 500;     // amplitude; the clips play at about 4100
// Another program's tone: a whole number of 100 Hz (one 10 ms window) from
// kToneHz, so that neither leaks into the other's window.
constexpr int kOtherToneHz = 1460;

// Whether a tone (kToneHz unless given) is in a 10 ms window of mono samples
// (Goertzel); adds the window's energy to *energy when given.
bool toneIn(const int16_t *samples, double *energy = nullptr, int hz = kToneHz)
{
    const double c = 2 * std::cos(2 * M_PI * hz / kRate);
    double s1 = 0, s2 = 0;
    for (int i = 0; i < kWindow; ++i) {
        const double s0 = samples[i] + c * s1 - s2;
        s2 = s1;
        s1 = s0;
        if (energy)
            *energy += double(samples[i]) * samples[i];
    }
    return 2 * std::sqrt(std::max(s1 * s1 + s2 * s2 - c * s1 * s2, 0.0)) / kWindow > kToneLevel;
}
// How far below what the microphone heard the echo must go out. The product
// does far better on a machine with time to spare (bench/audio); every stall
// of the output makes the canceller learn the echo anew, and the sanitizers
// slow the sound threads into many more stalls.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kMinEchoLossDb = 6;
#else
constexpr double kMinEchoLossDb = 10;
#endif
// The thread sanitizer looks at the threads, which one row of each echo case
// runs as well as all of them: the other rows measure, and take their time.
#if defined(__SANITIZE_THREAD__)
constexpr bool kOnlyOneEchoRow = true;
#else
constexpr bool kOnlyOneEchoRow = false;
#endif

// Records the sound server's default output through its monitor, straight
// into a file, so nothing is lost while the test's own thread is blocked.
class MonitorRecorder
{
public:
    MonitorRecorder()
    {
        m_file.open();
        m_parec.setStandardOutputFile(m_file.fileName());
        m_reader.setFileName(m_file.fileName());
        m_reader.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        m_parec.start("parec", {"--device=@DEFAULT_MONITOR@", "--format=s16le", "--rate=44100", "--channels=1",
                                "--raw", "--latency-msec=20"});
    }
    ~MonitorRecorder()
    {
        m_parec.kill();
        m_parec.waitForFinished(5000);
    }
    bool started() { return m_parec.waitForStarted(5000); }
    // Whole 10 ms windows recorded so far.
    int windows()
    {
        m_bytes += m_reader.readAll();
        return m_bytes.size() / 2 / kWindow;
    }
    bool toneIn(int w, int hz = kToneHz) const
    {
        return ::toneIn(reinterpret_cast<const int16_t *>(m_bytes.constData()) + w * kWindow, nullptr, hz);
    }
    // How long a tone was heard from window `from` on, in ms.
    int heardMs(int from, int hz = kToneHz)
    {
        int heard = 0;
        for (int w = from, end = windows(); w < end; ++w)
            heard += toneIn(w, hz) ? 10 : 0;
        return heard;
    }
    // The longest run of windows in [from, to) in which kOtherToneHz was heard
    // and the tone was not, in ms. Windows without either (the sound server
    // itself fell behind, as it does now and then on an overloaded machine)
    // neither count nor end a run.
    int longestGapBesideOtherMs(int from, int to)
    {
        int longest = 0, run = 0;
        for (int w = from; w < std::min(to, windows()); ++w) {
            if (toneIn(w))
                run = 0;
            else if (toneIn(w, kOtherToneHz))
                longest = std::max(longest, ++run);
        }
        return longest * 10;
    }
private:
    QTemporaryFile m_file;
    QFile m_reader;
    QProcess m_parec;
    QByteArray m_bytes;
};

using Clock = std::chrono::steady_clock;

// How far below what was heard a stretch of sound went out (dB), NaN where
// nothing was heard.
using EchoLoss = std::function<double(Clock::time_point, Clock::time_point)>;

// The start of the first 2 s from `earliest` on in which the echo went out at
// least kMinEchoLossDb below what was heard: the canceller has found the echo
// there. Under load the sound server's timing drifts for a while and finding
// the echo takes longer than on an idle machine; a fixed stretch would measure
// the search.
std::optional<Clock::time_point> echoFound(Clock::time_point earliest, const EchoLoss &loss, int timeoutMs)
{
    Clock::time_point from;
    const auto found = [&] {
        from = Clock::now() - std::chrono::seconds(2);
        return from >= earliest && loss(from, from + std::chrono::seconds(2)) >= kMinEchoLossDb;
    };
    if (!QTest::qWaitFor(found, timeoutMs))
        return std::nullopt;
    return from;
}

long long msOf(Clock::duration span) { return std::chrono::duration_cast<std::chrono::milliseconds>(span).count(); }

// Plays kOtherToneHz into the default sink from a program of its own, with
// half a second of buffer, for half a minute.
class OtherProgramTone
{
public:
    explicit OtherProgramTone(const QString &file)
    {
        QFile raw(file);
        const std::vector<int16_t> sound = sine(kOtherToneHz, kRate * 30, 1);
        if (!raw.open(QIODevice::WriteOnly)
            || raw.write(reinterpret_cast<const char *>(sound.data()), qint64(sound.size() * 2)) != qint64(sound.size() * 2))
            return;
        raw.close();
        m_pacat.start("pacat", {"--playback", "--raw", "--format=s16le", QString("--rate=%1").arg(kRate), "--channels=1",
                                "--latency-msec=500", file});
    }
    ~OtherProgramTone()
    {
        m_pacat.kill();
        m_pacat.waitForFinished(5000);
    }
    bool started() { return m_pacat.waitForStarted(5000); }

private:
    QProcess m_pacat;
};


// Pushes a sound (interleaved stereo, a whole number of 10 ms pieces) into a
// sound output over and over, a piece at a time at the pace it plays.
class LoopPlayer
{
public:
    LoopPlayer(mf::MFSoundOutput &output, std::vector<int16_t> sound)
        : m_sound(std::move(sound)), m_thread([this, &output] { play(output); })
    {
    }
    ~LoopPlayer() { stop(); }
    void stop()
    {
        m_running = false;
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    void play(mf::MFSoundOutput &output)
    {
        const size_t pieces = m_sound.size() / 2 / kWindow;
        auto due = Clock::now();
        for (size_t n = 0; m_running && pieces > 0; ++n, due += std::chrono::milliseconds(10)) {
            output.push(m_sound.data() + (n % pieces) * kWindow * 2, kWindow);
            std::this_thread::sleep_until(due);
        }
    }

    std::vector<int16_t> m_sound;
    std::atomic<bool> m_running{true};
    std::thread m_thread;
};

// Takes a recording's sound in 10 ms pieces at the pace it comes, as the
// mixer does, and notes each piece's energy and whether the tone was in it.
class SoundListener
{
public:
    explicit SoundListener(mf::MFAudioInput &input) : m_thread([this, &input] { listen(input); }) {}
    ~SoundListener() { stop(); }
    void stop()
    {
        m_running = false;
        if (m_thread.joinable())
            m_thread.join();
    }
    bool heardSince(Clock::time_point from) const { return firstHeardSince(from) != Clock::time_point::max(); }
    Clock::time_point firstHeardSince(Clock::time_point from) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = std::lower_bound(m_pieces.begin(), m_pieces.end(), Piece{from}); it != m_pieces.end(); ++it)
            if (it->tone)
                return it->at;
        return Clock::time_point::max();
    }
    // The summed energy of the pieces taken in [from, to), and their number.
    double energyBetween(Clock::time_point from, Clock::time_point to, int *pieces = nullptr) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        double sum = 0;
        int counted = 0;
        for (auto it = std::lower_bound(m_pieces.begin(), m_pieces.end(), Piece{from});
             it != m_pieces.end() && it->at < to; ++it, ++counted)
            sum += it->energy;
        if (pieces)
            *pieces = counted;
        return sum;
    }
    // The mean power of the samples taken in [from, to).
    double powerBetween(Clock::time_point from, Clock::time_point to) const
    {
        int pieces = 0;
        const double sum = energyBetween(from, to, &pieces);
        return pieces > 0 ? sum / (double(pieces) * kWindow) : 0.0;
    }
    // Taking never waits for the sound server: pieces keep coming while it is gone.
    bool keepsTaking() const
    {
        const long before = m_taken;
        return QTest::qWaitFor([&] { return m_taken > before + 20; }, 2000);
    }

private:
    struct Piece
    {
        Clock::time_point at;
        double energy = 0;
        bool tone = false;
        bool operator<(const Piece &other) const { return at < other.at; }
    };

    void listen(mf::MFAudioInput &input)
    {
        for (auto due = Clock::now(); m_running; due += std::chrono::milliseconds(10)) {
            const std::vector<int16_t> piece = input.take(kWindow);  // always whole, mono
            double energy = 0;
            const bool tone = toneIn(piece.data(), &energy);
            ++m_taken;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_pieces.push_back({Clock::now(), energy, tone});
            }
            std::this_thread::sleep_until(due);
        }
    }

    std::atomic<bool> m_running{true};
    std::atomic<long> m_taken{0};
    mutable std::mutex m_mutex;  // guards m_pieces
    std::vector<Piece> m_pieces;
    std::thread m_thread;
};

// Stands in for the broadcast's writer: notes the energy of each mixed
// frame's sound (what would go out) and when it came.
class SentSound : public mf::MFFrameSink
{
public:
    int put(const mf::MFFramePtr &frame, int) override
    {
        const int16_t *samples = frame->audioData();
        const int count = frame->audioSampleCount() * frame->format().audio.channels;
        double energy = 0;
        for (int i = 0; samples && i < count; ++i)
            energy += double(samples[i]) * samples[i];
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.push_back({Clock::now(), count > 0 ? energy / count : 0.0});
        return 0;
    }
    // The mean power of the samples sent in [from, to).
    double powerBetween(Clock::time_point from, Clock::time_point to) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        double sum = 0;
        int frames = 0;
        for (const auto &[at, power] : m_frames)
            if (at >= from && at < to) {
                sum += power;
                ++frames;
            }
        return frames > 0 ? sum / frames : 0.0;
    }

private:
    mutable std::mutex m_mutex;  // guards m_frames
    std::vector<std::pair<Clock::time_point, double>> m_frames;
};

// Speech made with espeak-ng, as interleaved stereo at the output's rate
// (whole 10 ms pieces); empty when that failed.
std::vector<int16_t> spokenSound(const QString &stem, const QString &voice, const QString &text)
{
    QProcess speaker;
    speaker.start("espeak-ng", {"-v", voice, "-w", stem + ".wav", text});
    if (!speaker.waitForFinished(kWaitMs) || speaker.exitCode() != 0)
        return {};
    const QByteArray pcm = makeClip(stem + ".raw", {"-i", stem + ".wav", "-ar", QString::number(kRate), "-ac", "2",
                                                    "-f", "s16le"});
    const size_t samples = size_t(pcm.size()) / 2 / (kWindow * 2) * (kWindow * 2);
    const auto *first = reinterpret_cast<const int16_t *>(pcm.constData());
    return std::vector<int16_t>(first, first + samples);
}

// pactl against the sound server this process uses: what it printed, or
// nothing when it failed.
std::optional<QString> pactl(const QStringList &arguments)
{
    QProcess control;
    control.start("pactl", arguments);
    if (!control.waitForFinished(kWaitMs) || control.exitStatus() != QProcess::NormalExit || control.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(control.readAllStandardOutput()).trimmed();
}

QStringList clip(bool picture, const QStringList &videoOptions = {})
{
    QStringList arguments{"-f", "lavfi", "-i", QString("sine=frequency=%1:sample_rate=44100:duration=20").arg(kToneHz)};
    if (picture)
        arguments += QStringList{"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=20",
                                 "-c:v", "libx264", "-g", "25", "-bf", "0", "-pix_fmt", "yuv420p"} + videoOptions;
    return arguments + QStringList{"-c:a", "aac", "-f", "mpegts"};
}

QSize shownSize(const PlayerWorker &player)
{
    const auto preview = player.currentPreview();
    const auto frame = preview ? preview->lastFrame() : nullptr;
    return frame ? frame->image().size() : QSize();
}

} // namespace

class TestFeedbackSound : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QWidget m_window;

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("ORVANTA_PULSE"))
            QSKIP("needs the test environment's sound server (scripts/test-env.sh)");
        m_window.resize(320, 180);
        m_window.show();
    }

    // Without a picture to show (none, or H.264 without its parameter sets)
    // the picture area says why, once, and the sound plays; a normal stream
    // plays on while the window's thread is blocked.
    void soundPlays_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QSize>("shown");
        QTest::addColumn<QString>("why");  // empty: the picture shows
        QTest::newRow("sound only") << clip(false) << QSize(640, 360) << "carries no picture";
        QTest::newRow("undecodable") << clip(true, {"-bsf:v", "filter_units=remove_types=7|8"}) << QSize(640, 360)
                                     << "cannot be decoded";
        QTest::newRow("picture and sound") << clip(true) << QSize(320, 240) << QString();
    }

    void soundPlays()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QSize, shown);
        QFETCH(QString, why);
        const QString file = m_dir.filePath(QTest::currentDataTag() + QString(".ts"));
        QVERIFY(!makeClip(file, arguments).isEmpty());
        MessageCapture log;
        StudioProcess studio({"--feedback", file});
        MonitorRecorder recorder;
        PlayerWorker player;
        QVERIFY2(studio.start() && recorder.started(), qPrintable(studio.output()));
        const QString url =
            QString("srt://127.0.0.1:%1?mode=caller&streamid=viewer#feedbackplay").arg(studio.srtPort());
        player.startPlay(url, mf::MFPreview::handleOf(&m_window));
        // Until its tone is heard at the monitor.
        QVERIFY(QTest::qWaitFor([&] { return recorder.heardMs(0) > 0; }, kWaitMs));
        QTRY_COMPARE_WITH_TIMEOUT(shownSize(player), shown, kWaitMs);
        if (!why.isEmpty())
            QVERIFY(log.waitFor(why, kWaitMs));
        // Said once (or never), however long it plays: two more seconds of its sound.
        const int start = recorder.windows();
        QVERIFY(QTest::qWaitFor([&] { return recorder.heardMs(start) >= 1000; }, kWaitMs));
        const int before = recorder.windows();
        QVERIFY(QTest::qWaitFor([&] { return recorder.heardMs(before) >= 1000; }, kWaitMs));
        QCOMPARE(shownSize(player), shown);
        QCOMPARE(log.count("playing the sound only"), why.isEmpty() ? 0 : 1);
        if (!why.isEmpty()) {
            QCOMPARE(log.count(why), 1);
            return;
        }

        // The window's thread blocks for longer than all the sound queued ahead:
        // sound fed from it would stop for most of the block while another
        // program's sound plays on. On an overloaded machine the sound server
        // itself falls behind now and then, for a second or more; both sounds
        // stop then, and such a stretch does not count.
        OtherProgramTone other(m_dir.filePath("other-tone.raw"));
        QVERIFY(other.started());
        const int otherFrom = recorder.windows();
        QVERIFY(QTest::qWaitFor([&] { return recorder.heardMs(otherFrom, kOtherToneHz) >= 500; }, kWaitMs));
        const int from = recorder.windows();
        const int gapBefore = recorder.longestGapBesideOtherMs(otherFrom, from);
        constexpr int kBlockMs = 2500;
        constexpr int kQueuedAheadMs = mf::MFSoundOutput::kMaxQueuedMs + mf::MFSoundOutput::kServerBufferMs;
        QTest::qWait(300);
        QThread::msleep(kBlockMs);
        // The recorder may lag behind on a busy machine; what it records is complete.
        const int to = from + (300 + kBlockMs + 700) / 10;
        QVERIFY(QTest::qWaitFor([&] { return recorder.windows() >= to; }, kWaitMs));
        const int gapMs = recorder.longestGapBesideOtherMs(from, to);
        QVERIFY2(recorder.heardMs(from, kOtherToneHz) >= 500, "the other program's tone was not heard");
        QVERIFY2(gapMs < (kBlockMs - kQueuedAheadMs) * 3 / 4,
                 qPrintable(QString("the sound stopped for %1 ms (before the block: %2 ms)").arg(gapMs).arg(gapBefore)));

        // Into another window, then stopped and started at once: the new run
        // waits for the old one and plays into the first window again.
        const quint64 first = mf::MFPreview::handleOf(&m_window);
        QCOMPARE(player.window(), first);
        QWidget second;
        second.show();
        player.setWindow(second.winId());
        QCOMPARE(player.window(), quint64(second.winId()));
        QCOMPARE(player.currentPreview()->attachedHandle(), quint64(second.winId()));
        player.stopPlay();
        player.startPlay(url, first);
        QTRY_VERIFY_WITH_TIMEOUT(player.isPlaying(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(shownSize(player), shown, kWaitMs);
        QCOMPARE(player.currentPreview()->attachedHandle(), first);
        player.stopPlay();
        QVERIFY(player.wait(5000));
    }

    // A sound server that takes the connection and never answers: the sound
    // thread waits for it, and stopping (a window closing its feedback) must
    // not wait with it.
    void stopDoesNotWaitForTheSoundServer()
    {
        QLocalServer silent;
        QVERIFY(silent.listen(m_dir.filePath("silent-sound-server")));
        const QByteArray savedServer = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", "unix:" + silent.fullServerName().toUtf8());
        auto output = std::make_unique<mf::MFSoundOutput>();
        output->start();
        const bool connecting = silent.waitForNewConnection(kWaitMs);
        qputenv("PULSE_SERVER", savedServer);
        if (savedServer.isNull())
            qunsetenv("PULSE_SERVER");
        QVERIFY(connecting);

        QElapsedTimer clock;
        clock.start();
        std::atomic<bool> stopped{false};
        std::thread stopper([&] {
            output->stop();
            stopped = true;
        });
        if (!QTest::qWaitFor([&] { return stopped.load(); }, 2000)) {
            // Left to the process's end rather than waited for here.
            stopper.detach();
            (void)output.release();
            QFAIL("stop() waits for a sound server that does not answer");
        }
        stopper.join();
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString("stop() took %1 ms").arg(clock.elapsed())));
        QVERIFY(!output->isStarted());
    }

    // The program ends while its sound thread is still finishing a write to
    // the sound server: that thread must not touch what the program's end
    // has destroyed (it crashed writing the echo reference, and in the sound
    // library as it was unloaded).
    void stoppedSoundMayFinishAfterTheProgram()
    {
        for (int run = 0; run < 5; ++run) {  // a run crashed about one time in three
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(), {"--exit-while-playing"});
            QVERIFY(child.waitForFinished(kWaitMs));
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                     qPrintable(QString("exit code %1: %2").arg(child.exitCode()).arg(QString(child.readAllStandardError().right(2000)))));
        }
    }

    // The sound server killed and started again, as after a crash or an
    // update, while the feedback's sound plays and a microphone records: the
    // microphone here hears the output (the null sink's monitor), so the tone
    // is back in what it records only once both have opened again by
    // themselves, within 3 s of the server's return. Meanwhile nobody waits:
    // the recording hands out silence. The window hears of the loss and of
    // the return, once each.
    void soundComesBackAfterTheServerRestarts()
    {
        auto &events = mf::MFSoundServerEvents::instance();
        QCOMPARE(events.isLost(), false);
        int lost = 0;
        int back = 0;
        QObject context;
        connect(&events, &mf::MFSoundServerEvents::lost, &context, [&] { ++lost; });
        Clock::time_point backAt;
        connect(&events, &mf::MFSoundServerEvents::back, &context, [&] {
            ++back;
            backAt = Clock::now();
        });
        PrivateSoundServer server(m_dir.filePath("restarting"));
        QVERIFY2(server.start(), server.log().constData());
        server.use();

        const auto began = Clock::now();
        mf::MFSoundOutput output;
        output.start();
        LoopPlayer tone(output, sine(kToneHz, kRate, 2));  // a second of it
        auto microphone = std::make_unique<mf::MFAudioInput>(server.monitor(), mf::MFAudioFormat{1, kRate, 16},
                                                             mf::SoundProcessing{false, false});
        SoundListener listener(*microphone);
        QVERIFY2(QTest::qWaitFor([&] { return listener.heardSince(Clock::now() - std::chrono::seconds(1)); }, kWaitMs),
                 "the microphone never heard the output");
        const auto firstHeard = listener.firstHeardSince(began) - began;

        server.kill();
        QVERIFY(QTest::qWaitFor([&] { return lost == 1; }, kWaitMs));
        QVERIFY(events.isLost());
        QVERIFY(listener.keepsTaking());
        QVERIFY2(server.start(), server.log().constData());
        const auto returned = Clock::now();
        QVERIFY2(QTest::qWaitFor([&] { return listener.heardSince(returned); }, kWaitMs),
                 "the sound did not come back");
        QVERIFY(QTest::qWaitFor([&] { return back == 1; }, kWaitMs));
        // The null sink holds the sound for a while after a stream opens (about 2 s
        // here), at the first start as after the return: that time is the rig's.
        const long long reopened = msOf(backAt - returned);
        const long long toneBack = msOf(listener.firstHeardSince(returned) - returned);
        const long long toneFirst = msOf(firstHeard);
        qInfo("streams open again %lld ms after the server, the tone %lld ms after (%lld ms at the first start)",
              reopened, toneBack, toneFirst);
        QVERIFY(reopened <= 3000);
        QVERIFY(toneBack <= toneFirst + 3000);
        QVERIFY(!events.isLost());
        QCOMPARE(lost, 1);
        listener.stop();
        microphone.reset();
        tone.stop();
        output.stop();
    }

    // A chosen microphone unplugged and plugged in again (a USB headset: its
    // source goes and comes back while the server stays; here a source that
    // gives the tone). Meanwhile the server moves the recording to the
    // default source (a silent built-in microphone); within 3 s of the
    // headset's return the recording hears it again.
    void chosenMicrophoneComesBack()
    {
        PrivateSoundServer server(m_dir.filePath("headset"), {"module-null-source source_name=built_in"});
        QVERIFY2(server.start(), server.log().constData());
        server.use();
        const QStringList plugIn{"load-module", "module-sine-source", "source_name=headset",
                                 "rate=" + QString::number(kRate), "frequency=" + QString::number(kToneHz)};
        const std::optional<QString> headset = pactl(plugIn);
        QVERIFY(headset);
        QVERIFY(pactl({"set-default-source", "built_in"}));

        const auto began = Clock::now();
        mf::MFAudioInput microphone("headset", mf::MFAudioFormat{1, kRate, 16}, mf::SoundProcessing{false, false});
        SoundListener listener(microphone);
        QVERIFY2(QTest::qWaitFor([&] { return listener.heardSince(began); }, kWaitMs), "the headset was never heard");
        const auto firstHeard = listener.firstHeardSince(began) - began;

        QVERIFY(pactl({"unload-module", *headset}));
        QVERIFY(QTest::qWaitFor([&] { return !listener.heardSince(Clock::now() - std::chrono::milliseconds(500)); },
                                kWaitMs));
        QVERIFY(listener.keepsTaking());
        QVERIFY(pactl(plugIn));
        const auto returned = Clock::now();
        QVERIFY2(QTest::qWaitFor([&] { return listener.heardSince(returned); }, kWaitMs),
                 "the headset was not heard again");
        const long long back = msOf(listener.firstHeardSince(returned) - returned);
        const long long first = msOf(firstHeard);
        qInfo("heard again %lld ms after the headset's return (%lld ms at the first start)", back, first);
        QVERIFY(back <= first + 3000);
        listener.stop();
    }

    // A microphone that hears the speaker: the monitor of the output the
    // program plays into, straight or by a way 150 ms longer that the sound
    // server does not report (a loopback into a second sink). The return
    // sound is speech; what the recording hands on holds its echo well below
    // what the microphone heard once the canceller has had a few seconds to
    // find it. Then the specialist is silent and the user speaks (another
    // program plays his voice into the microphone's sink): it passes within
    // 3 dB.
    //
    // The echo figure asked of the product is 25 dB (bench/audio measures
    // the cancellers); here the bound is lower (kMinEchoLossDb).
    void echoIsTakenOutOfTheRecording_data()
    {
        QTest::addColumn<QStringList>("modules");
        QTest::addColumn<QString>("microphoneSink");
        QTest::newRow("speaker beside the microphone") << QStringList() << "restart_sink";
        if (kOnlyOneEchoRow)
            return;
        QTest::newRow("a way 150 ms longer")
            << QStringList{"module-null-sink sink_name=far_sink",
                           "module-loopback source=restart_sink.monitor sink=far_sink latency_msec=150"}
            << "far_sink";
    }

    void echoIsTakenOutOfTheRecording()
    {
        QFETCH(QStringList, modules);
        QFETCH(QString, microphoneSink);
        const std::vector<int16_t> speech = spokenSound(m_dir.filePath("specialist"), "en-us",
            "Please open the settings window and look at the second tab. There should be a button on the left.");
        QVERIFY(!speech.empty());
        QVERIFY(!spokenSound(m_dir.filePath("user"), "en-gb", "I see it now, the button says apply.").empty());
        PrivateSoundServer server(m_dir.filePath(QString("echo-%1").arg(qHash(QString(QTest::currentDataTag())))), modules);
        QVERIFY2(server.start(), server.log().constData());
        server.use();

        const QString microphone = microphoneSink + ".monitor";
        mf::MFAudioInput heard(microphone, mf::MFAudioFormat{1, kRate, 16}, mf::SoundProcessing{false, false});
        mf::MFAudioInput cleaned(microphone, mf::MFAudioFormat{1, kRate, 16}, mf::SoundProcessing{true, true});
        SoundListener heardLevels(heard);
        SoundListener cleanedLevels(cleaned);
        mf::MFSoundOutput output;
        output.start();
        auto voice = std::make_unique<LoopPlayer>(output, speech);
        // How far below what the microphone heard the recording hands on the echo; NaN
        // while the microphone heard nothing.
        const auto enhancementBetween = [&](Clock::time_point a, Clock::time_point b) {
            const double echo = heardLevels.energyBetween(a, b);
            return echo > 0 ? 10 * std::log10(echo / std::max(cleanedLevels.energyBetween(a, b), 1.0)) : NAN;
        };
        // Measured from 6 s on, or from when the canceller has found the echo if that is later.
        const auto began = Clock::now();
        const std::optional<Clock::time_point> found = echoFound(began + std::chrono::seconds(6), enhancementBetween,
                                                                 2 * kWaitMs);
        QVERIFY2(found, "the canceller never found the echo");
        const auto from = *found;
        const auto to = from + std::chrono::seconds(6);
        QVERIFY(QTest::qWaitFor([&] { return Clock::now() > to + std::chrono::milliseconds(500); }, kWaitMs));
        const double enhancement = enhancementBetween(from, to);
        QVERIFY2(!std::isnan(enhancement), "the microphone heard nothing");
        qInfo("echo return loss enhancement %.1f dB (found %.1f s after the voice began)", enhancement,
              std::chrono::duration<double>(from - began).count());
        QVERIFY2(enhancement >= kMinEchoLossDb, qPrintable(QString("%1 dB").arg(enhancement, 0, 'f', 1)));

        // The microphone has heard nothing for a while: the last echo is gone.
        const auto quiet = [&] {
            const auto now = Clock::now();
            return heardLevels.energyBetween(now - std::chrono::milliseconds(300), now) < 1.0;
        };
        voice.reset();
        QVERIFY(QTest::qWaitFor(quiet, kWaitMs));
        QProcess user;
        const auto spoke = Clock::now();
        user.start("paplay", {"--device=" + microphoneSink, m_dir.filePath("user.wav")});
        QVERIFY(user.waitForFinished(kWaitMs) && user.exitCode() == 0);
        QVERIFY(QTest::qWaitFor(quiet, kWaitMs));
        const auto done = Clock::now();
        const double userLevel = 10 * std::log10(cleanedLevels.energyBetween(spoke, done)
                                                 / std::max(heardLevels.energyBetween(spoke, done), 1.0));
        qInfo("the user's voice: %.1f dB", userLevel);
        QVERIFY2(std::abs(userLevel) <= 3, qPrintable(QString("%1 dB").arg(userLevel, 0, 'f', 1)));
    }

    // The whole way, as the program runs it: the specialist's voice comes in
    // the return stream from the studio and plays; the mixer records "PC
    // Sounds (Loopback)", the monitor of that output (system sound, or a
    // speaker right beside the microphone), and what it sends carries the
    // voice only as far as the processing leaves it. Switched off, what goes
    // out is what the monitor heard.
    void returnSoundIsNotSentBack_data()
    {
        QTest::addColumn<bool>("processing");
        QTest::newRow("echo cancellation on") << true;
        if (!kOnlyOneEchoRow)
            QTest::newRow("off") << false;
    }
    void returnSoundIsNotSentBack()
    {
        QFETCH(bool, processing);
        const QString wav = m_dir.filePath("return.wav");
        QVERIFY(QFile::exists(wav) || !spokenSound(m_dir.filePath("return"), "en-us",
            "Now open the cover on the right side and look for the green connector near the bottom.").empty());
        const QString clipFile = m_dir.filePath("return.ts");
        QVERIFY(QFile::exists(clipFile) || !makeClip(clipFile, {"-i", wav, "-c:a", "aac", "-f", "mpegts"}).isEmpty());
        PrivateSoundServer server(m_dir.filePath(QString("sent-%1").arg(processing)));
        QVERIFY2(server.start(), server.log().constData());
        server.use();
        StudioProcess studio({"--feedback", clipFile});
        QVERIFY2(studio.start(), qPrintable(studio.output()));

        mf::MFAudioInput heard(server.monitor(), mf::MFAudioFormat{1, kRate, 16}, mf::SoundProcessing{false, false});
        SoundListener heardLevels(heard);
        auto sent = std::make_shared<SentSound>();
        Mixer mixer;
        QVERIFY(mixer.setVideoDevice("Test Pattern"));
        QVERIFY(mixer.setAudioDevice("PC Sounds (Loopback)"));
        mixer.setSoundProcessing({processing, processing});
        mixer.setActiveWriter(sent);
        mixer.setWriting(true);
        QVERIFY(mixer.start(0, 10, QSize(320, 180)));
        PlayerWorker player;
        player.startPlay(QString("srt://127.0.0.1:%1?mode=caller&streamid=viewer#feedbackplay").arg(studio.srtPort()),
                         mf::MFPreview::handleOf(&m_window));
        // From the voice's first sound at the monitor, the canceller has 6 s or
        // until it has found the echo, whichever is longer; then 6 s are compared.
        QVERIFY(QTest::qWaitFor([&] {
            const auto now = Clock::now();
            return heardLevels.powerBetween(now - std::chrono::milliseconds(500), now) > 1e4;
        }, kWaitMs));
        const auto voiceBegan = Clock::now();
        const EchoLoss sentBelowHeard = [&](Clock::time_point a, Clock::time_point b) {
            const double voice = heardLevels.powerBetween(a, b);
            return voice > 0 ? 10 * std::log10(voice / std::max(sent->powerBetween(a, b), 1e-3)) : NAN;
        };
        std::optional<Clock::time_point> from = voiceBegan + std::chrono::seconds(6);
        if (processing)
            from = echoFound(*from, sentBelowHeard, 3 * kWaitMs);
        QVERIFY2(from, "the canceller never found the voice");
        const auto to = *from + std::chrono::seconds(6);
        QVERIFY(QTest::qWaitFor([&] { return Clock::now() > to + std::chrono::milliseconds(500); }, 3 * kWaitMs));
        player.stopPlay();
        mixer.setWriting(false);
        mixer.setActiveWriter(nullptr);
        const double voice = heardLevels.powerBetween(*from, to);
        QVERIFY2(voice > 1e4, qPrintable(QString("the monitor heard %1").arg(voice)));
        const double enhancement = sentBelowHeard(*from, to);
        qInfo("the voice went out %.1f dB below what the monitor heard (from %.1f s after it began)", enhancement,
              std::chrono::duration<double>(*from - voiceBegan).count());
        if (processing)
            QVERIFY2(enhancement >= kMinEchoLossDb, qPrintable(QString("%1 dB").arg(enhancement, 0, 'f', 1)));
        else
            QVERIFY2(std::abs(enhancement) <= 3, qPrintable(QString("%1 dB").arg(enhancement, 0, 'f', 1)));
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--exit-while-playing") == 0)
        return exitWhilePlaying();
    return TestMain::run<TestFeedbackSound>(argc, argv, TestMain::Gui | TestMain::SoundServer);
}
#include "tst_FeedbackSound.moc"
