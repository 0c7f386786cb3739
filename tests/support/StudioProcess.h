#pragma once
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// Runs build/tools/orvanta-studio/orvanta-studio as a child process for one
// test, with a temporary record folder. The studio binds ports of the
// system's choosing and names them in its start line, which start() reads:
//
//     StudioProcess studio({"--feedback", clip});   // any further options
//     QVERIFY2(studio.start(), qPrintable(studio.output()));
//     ... connect to 127.0.0.1:studio.srtPort() ...
//     QJsonObject s = StudioProcess::findStream(studio.status(), "abc", "media");
//
// Every call is bounded in time; the destructor stops the server.
class StudioProcess
{
public:
    explicit StudioProcess(QStringList extraArguments = {});
    ~StudioProcess();
    StudioProcess(const StudioProcess &) = delete;
    StudioProcess &operator=(const StudioProcess &) = delete;

    // Only for a client that dials before the studio exists: the SRT port to
    // bind instead of one of the system's choosing.
    void setSrtPort(quint16 port) { m_srtPort = port; }
    // Starts the server and waits for its start line.
    bool start(int timeoutMs = 10000);
    // SIGTERM, then waits for a clean exit (kills after timeoutMs). Returns
    // true when the server ended by itself with exit code 0.
    bool stop(int timeoutMs = 5000);

    // The server's process, e.g. to freeze it with SIGSTOP as a dead network would.
    qint64 processId() const { return m_process.processId(); }
    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 srtPort() const { return m_srtPort; }
    quint16 httpPort() const { return m_httpPort; }
    QString recordDir() const { return m_recordDir.path(); }
    // The recording of this ID's media stream, as "/status" names it; empty
    // while the studio shows no such stream.
    QString recordFile(const QString &id) const;
    // Waits until the ID's media stream is closed and its recording holds
    // every byte the studio counted for it; returns the recording (what it
    // holds at the deadline).
    QByteArray recording(const QString &id, int timeoutMs = 10000) const;
    QByteArray output();  // what the server printed so far

    // Sends the request as it is on the HTTP port; the whole response.
    QByteArray rawHttp(const QByteArray &request, int timeoutMs = 3000) const;
    // One HTTP/1.0 GET; the body, statusCode -1 when no answer.
    QByteArray httpGet(const QString &path, int *statusCode = nullptr, int timeoutMs = 3000) const;
    QJsonObject status() const;
    // Polls "/status" until the stream with this id and kind exists and
    // satisfies minBytes (and, if given, connected); returns it or {}.
    QJsonObject waitForStream(const QString &id, const QString &kind, qint64 minBytes = 0, int timeoutMs = 10000,
                              int connected = -1) const;

    // The newest stream entry with this id and kind, or an empty object.
    static QJsonObject findStream(const QJsonObject &status, const QString &id, const QString &kind);
    // A counter of a stream entry ("bytes", "lost_messages", ...); 0 when absent.
    static qint64 count(const QJsonObject &stream, const char *key);
    static QString binaryPath();

private:
    bool readStartLine(int timeoutMs);

    QStringList m_extraArguments;
    QTemporaryDir m_recordDir;
    QProcess m_process;
    QByteArray m_output;
    quint16 m_srtPort = 0;
    quint16 m_httpPort = 0;
};
