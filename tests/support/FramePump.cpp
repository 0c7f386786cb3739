#include "tests/support/FramePump.h"

#include "media/Mixer.h"
#include "media/engine/MFFrameSink.h"
#include "tests/support/PatternFrame.h"

#include <QElapsedTimer>
#include <QThread>

FramePump::FramePump(Mixer &mixer) : m_mixer(mixer), m_thread([this] { run(); }) {}

FramePump::~FramePump()
{
    m_stop = true;
    m_thread.join();
}

void FramePump::run()
{
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; !m_stop; ++i) {
        while (!m_stop && clock.elapsed() < i * 40)
            QThread::msleep(2);
        const std::shared_ptr<mf::MFFrameSink> writer = m_mixer.activeWriter();
        if (writer && m_mixer.isWriting())
            writer->put(patternFrame(640, 360, i), 0);
    }
}
