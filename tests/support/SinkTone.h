#pragma once
#include <QByteArray>
#include <QProcess>
#include <QTemporaryFile>

#include <cmath>
#include <cstdint>

// A 440 Hz stereo tone into the sound server's default output (the null sink) while it lives.
class SinkTone
{
public:
    explicit SinkTone(int seconds)
    {
        QByteArray tone(44100 * 4 * seconds, 0);
        auto *s = reinterpret_cast<int16_t *>(tone.data());
        for (int i = 0; i < 44100 * seconds; ++i)
            s[2 * i] = s[2 * i + 1] = int16_t(16000 * std::sin(2 * M_PI * 440 * i / 44100.0));
        if (!m_raw.open())
            return;
        m_raw.write(tone);
        m_raw.flush();
        m_player.start("pacat", {"--playback", "--format=s16le", "--rate=44100", "--channels=2", "--raw",
                                 m_raw.fileName()});
    }
    ~SinkTone() { stop(); }

    bool started() { return m_player.waitForStarted(5000); }
    void stop()
    {
        if (m_player.state() == QProcess::NotRunning)
            return;
        m_player.kill();
        m_player.waitForFinished(5000);
    }

private:
    QTemporaryFile m_raw;
    QProcess m_player;
};
