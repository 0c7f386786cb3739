#pragma once
#include <QObject>

#include <mutex>

namespace mf {

// Whether the sound server is there for the streams that record and play
// through it, for the window to show. One object for the process; streams
// report from their own threads (through MFSoundServerLink), receivers get
// the signals queued on theirs.
class MFSoundServerEvents : public QObject
{
    Q_OBJECT
public:
    static MFSoundServerEvents &instance();

    // Some stream lost the server and has not got it back yet.
    bool isLost() const;

    // Any thread; each lost stream is counted until it is back or gone.
    void streamLost();
    void streamBack();

signals:
    // The first stream lost the server.
    void lost();
    // The last stream that had lost it is back (or gone).
    void back();

private:
    mutable std::mutex m_mutex;  // guards m_lostStreams
    int m_lostStreams = 0;
};

} // namespace mf
