#pragma once
#include "CallerGate.h"
#include "StreamRoute.h"
#include "StudioStatus.h"
#include "TsLooper.h"
#include "transport/srt/SrtSocket.h"

#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>

struct sockaddr;

// The studio's SRT side: one live-mode listener, every caller on one epoll
// set, routed by stream ID (media recorded and echoed to "#feedbackplay"
// callers of the same ID, "#control" decoded into arrow commands,
// "#speedtest" counted and discarded). Callers are screened during their
// handshake (CallerGate). Runs in its own thread; every round of its loop is
// short, so a stop request is seen within milliseconds.
class SrtHub : public QThread
{
public:
    struct Settings {
        QString host;
        quint16 port = 0;
        QString recordDir;
        QString feedbackFile;  // empty: echo the media stream
        int maxCallers = 64;
        QByteArray passphrase;  // empty: no encryption
    };

    SrtHub(const Settings &settings, StudioStatus *status);
    ~SrtHub() override;

    // Binds and listens; on failure returns false with a reason in *error.
    bool open(QString *error);
    // The port the listener is bound to (the system's choice when asked for 0).
    quint16 port() const;
    void requestStop() { m_stop = true; }

protected:
    void run() override;

private:
    struct FileCloser {
        void operator()(FILE *file) const { std::fclose(file); }
    };
    struct Connection {
        SrtSocket socket;
        StreamRoute route;
        int statusKey = 0;
        std::unique_ptr<FILE, FileCloser> record;
        qint32 lastCounter = 0;
        bool haveCounter = false;
        qint64 sentBytes = 0;          // feedback: handed to libsrt
        qint64 failedSendBytes = 0;    // feedback: libsrt would not take them
        int lastMessageNumber = 0;     // the sender's number of the last message read; 0: none yet
    };

    static int onCallerHandshake(void *hub, int socket, int hsVersion, const sockaddr *peer, const char *streamId);
    int screenCaller(int socket, const sockaddr *peer, const char *streamId);
    bool configureListener();
    void acceptCallers();
    void addConnection(SrtSocket accepted, const QString &peer);
    std::unique_ptr<FILE, FileCloser> openRecord(const StreamRoute &route) const;
    static StudioStatus::Stream describe(int socket, const StreamRoute &route, const QByteArray &streamId,
                                         const QString &peer);
    int roundWaitMs();
    void receiveFrom(Connection &connection);
    static qint64 skippedMessages(Connection &connection, int messageNumber);
    void receiveFromAll();
    void handleMessage(Connection &connection, const char *data, int size);
    void decodeArrow(Connection &connection, const char *data, int size);
    bool hasFeedbackReceiver() const;
    void sendToFeedback(const QByteArray *id, const char *data, int size);
    void pumpFeedbackFile();
    void doPeriodicWork();
    void reportFeedback(const Connection &connection, bool closing);
    void releaseVanishedCallers();
    void closeConnection(int socket);
    static void printClosed(const StudioStatus::Stream &seen);
    void closeAll();
    void flushRecords();
    qint64 nowMs() const { return m_clock.elapsed(); }
    qint64 nowUs() const { return m_clock.nsecsElapsed() / 1000; }

    Settings m_settings;
    StudioStatus *m_status;
    CallerGate m_gate;
    SrtSocket m_listener;
    int m_epoll = -1;
    std::map<int, Connection> m_connections;
    TsLooper m_looper;
    std::atomic<bool> m_stop{false};
    QElapsedTimer m_clock;
    bool m_recordsDirty = false;
    qint64 m_nextFeedbackReportMs = 0;
    qint64 m_nextSweepMs = 0;
};
