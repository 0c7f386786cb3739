#pragma once
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// build/tools/orvanta-studio as a child process with a temporary record
// folder; it binds ports of the system's choosing and names them in its start
// line. Every call is bounded in time; the destructor stops the server.
class StudioProcess
{
public:
    explicit StudioProcess(QStringList extraArguments = {});
    ~StudioProcess();
    StudioProcess(const StudioProcess &) = delete;
    StudioProcess &operator=(const StudioProcess &) = delete;

    // Only for a client that dials before the studio exists.
    void setSrtPort(quint16 port) { m_srtPort = port; }
    bool start(int timeoutMs = 10000);
    // SIGTERM (SIGKILL after timeoutMs); true on a clean exit with code 0.
    bool stop(int timeoutMs = 5000);

    qint64 processId() const { return m_process.processId(); }
    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 srtPort() const { return m_srtPort; }
    quint16 httpPort() const { return m_httpPort; }
    QString recordDir() const { return m_recordDir.path(); }
    // The recording of this ID's media stream as "/status" names it; empty without one.
    QString recordFile(const QString &id) const;
    // Waits until the ID's media stream is closed and its file holds every
    // byte the studio counted; what the file holds then.
    QByteArray recording(const QString &id, int timeoutMs = 10000) const;
    QByteArray output();  // what the server printed so far

    // One HTTP/1.0 GET; the body, statusCode -1 when no answer.
    QByteArray httpGet(const QString &path, int *statusCode = nullptr, int timeoutMs = 3000) const;
    QJsonObject status() const;
    // Polls "/status" until the stream with this id and kind has minBytes
    // (and, unless -1, this connected state); it, or {} at the deadline.
    QJsonObject waitForStream(const QString &id, const QString &kind, qint64 minBytes = 0, int timeoutMs = 10000,
                              int connected = -1) const;

    // The newest stream entry with this id and kind, or {}.
    static QJsonObject findStream(const QJsonObject &status, const QString &id, const QString &kind);
    // A counter of a stream entry ("bytes", "lost_messages", ...); 0 when absent.
    static qint64 count(const QJsonObject &stream, const char *key);

private:
    QStringList m_extraArguments;
    QTemporaryDir m_recordDir;
    QProcess m_process;
    QByteArray m_output;
    quint16 m_srtPort = 0;
    quint16 m_httpPort = 0;
};
