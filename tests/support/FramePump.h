#pragma once
#include "media/Mixer.h"
#include "media/engine/MFFrameSink.h"
#include "tests/support/PatternFrame.h"

#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <thread>

// Puts a moving picture into the mixer's active writer at 25 frames a second
// from a thread of its own, as the mix loop does while writing is on.
class FramePump
{
public:
    explicit FramePump(Mixer &mixer, PatternNoise noise = PatternNoise::Band)
        : m_thread([this, &mixer, noise] {
              QElapsedTimer clock;
              clock.start();
              for (int i = 0; !m_stop; ++i) {
                  while (!m_stop && clock.elapsed() < i * 40)
                      QThread::msleep(2);
                  const std::shared_ptr<mf::MFFrameSink> writer = mixer.activeWriter();
                  if (writer && mixer.isWriting())
                      writer->put(patternFrame(640, 360, i, noise), 0);
              }
          })
    {
    }
    ~FramePump()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
