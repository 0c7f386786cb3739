#pragma once
#include "StreamRoute.h"
#include "StudioStatus.h"
#include "TsLooper.h"

#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>

// The studio's SRT side: one live-mode listener, every caller on one epoll
// set, routed by stream ID (media recorded and echoed to "#feedbackplay"
// callers of the same ID, "#control" decoded into arrow commands,
// "#speedtest" counted and discarded). Runs in its own thread.
class SrtHub : public QThread
{
public:
    struct Settings {
        QString host;
        quint16 port = 0;
        QString recordDir;
        QString feedbackFile;  // empty: echo the media stream
    };

    SrtHub(const Settings &settings, StudioStatus *status);
    ~SrtHub() override;

    // Binds and listens; on failure returns false with a reason in *error.
    bool open(QString *error);
    void requestStop() { m_stop = true; }

protected:
    void run() override;

private:
    struct FileCloser {
        void operator()(FILE *file) const { std::fclose(file); }
    };
    struct Connection {
        int socket = -1;
        StreamRoute route;
        int statusKey = 0;
        std::unique_ptr<FILE, FileCloser> record;
        qint32 lastCounter = 0;
        bool haveCounter = false;
    };

    void acceptCallers();
    void addConnection(int socket, const QString &peer);
    std::unique_ptr<FILE, FileCloser> openRecord(const StreamRoute &route) const;
    static StudioStatus::Stream describe(int socket, const StreamRoute &route, const QString &streamId,
                                         const QString &peer);
    bool hasActiveMedia(const QString &id) const;
    void receiveFrom(Connection &connection);
    void receiveFromAll();
    void handleMessage(Connection &connection, const char *data, int size);
    void decodeArrow(Connection &connection, const char *data, int size);
    void sendToFeedback(const QString *id, const char *data, int size);
    void pumpFeedbackFile();
    void closeConnection(int socket);
    void closeAll();
    void flushRecords();
    qint64 nowMs() const { return m_clock.elapsed(); }

    Settings m_settings;
    StudioStatus *m_status;
    int m_listener = -1;
    int m_epoll = -1;
    std::map<int, Connection> m_connections;
    TsLooper m_looper;
    std::atomic<bool> m_stop{false};
    QElapsedTimer m_clock;
    bool m_recordsDirty = false;
};
