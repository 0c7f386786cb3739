#pragma once
#include <QProcess>

// A 440 Hz stereo tone at half of full scale into the sound server's default
// output (the null sink) while it lives.
class SinkTone
{
public:
    explicit SinkTone(int seconds)
    {
        m_player.start("ffmpeg", {"-v", "error", "-nostdin", "-f", "lavfi", "-i",
                                  QString("sine=frequency=440:duration=%1,volume=4").arg(seconds), "-ac", "2",
                                  "-f", "pulse", "orvanta-test-tone"});
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
    QProcess m_player;
};
