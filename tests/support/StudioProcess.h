#pragma once
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

// build/tools/orvanta-studio as a child process with a temporary record
// folder; it binds ports of the system's choosing and names them in its start
// line. Every call is bounded in time; the destructor stops the server.
// ORVANTA_STUDIO names another build's studio, e.g. an uninstrumented peer
// for thread sanitizer builds, whose slowdown would make the receiver drop
// live packets as too late.
class StudioProcess
{
public:
    explicit StudioProcess(QStringList extraArguments = {}) : m_extraArguments(std::move(extraArguments))
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~StudioProcess() { stop(); }
    StudioProcess(const StudioProcess &) = delete;
    StudioProcess &operator=(const StudioProcess &) = delete;

    // Only for a client that dials before the studio exists.
    void setSrtPort(quint16 port) { m_srtPort = port; }
    bool start(int timeoutMs = 10000)
    {
        QString program = qEnvironmentVariable("ORVANTA_STUDIO");
        if (program.isEmpty())
            program = QStringLiteral(ORVANTA_BINARY_DIR "/tools/orvanta-studio/orvanta-studio");
        const QStringList arguments{"--srt", QStringLiteral("%1:%2").arg(host()).arg(m_srtPort),
                                    "--http", host() + QStringLiteral(":0"), "--record", m_recordDir.path()};
        m_process.start(program, arguments + m_extraArguments);
        if (!m_process.waitForStarted(timeoutMs))
            return false;
        // "orvanta-studio: SRT 127.0.0.1:41234, HTTP 127.0.0.1:41235, ...", once both ports are bound.
        static const QRegularExpression startLine("orvanta-studio: SRT [0-9.]+:(\\d+), HTTP [0-9.]+:(\\d+)");
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            m_process.waitForReadyRead(kPollMs);
            m_output += m_process.readAll();
            const QRegularExpressionMatch match = startLine.match(QString::fromUtf8(m_output));
            if (match.hasMatch()) {
                m_srtPort = quint16(match.captured(1).toUInt());
                m_httpPort = quint16(match.captured(2).toUInt());
                return true;
            }
        }
        output();
        return false;
    }
    // SIGTERM (SIGKILL after timeoutMs); true on a clean exit with code 0.
    bool stop(int timeoutMs = 5000)
    {
        if (m_process.state() == QProcess::NotRunning)
            return false;
        m_process.terminate();
        if (m_process.waitForFinished(timeoutMs)) {
            output();
            return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
        }
        m_process.kill();
        m_process.waitForFinished(timeoutMs);
        return false;
    }

    qint64 processId() const { return m_process.processId(); }
    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 srtPort() const { return m_srtPort; }
    // The recording of this ID's media stream as "/status" names it; empty without one.
    QString recordFile(const QString &id) const
    {
        const QString name = findStream(status(), id, QStringLiteral("media")).value("record").toString();
        return name.isEmpty() ? QString() : QDir(m_recordDir.path()).filePath(name);
    }
    // Waits until the ID's media stream is closed and its file holds every
    // byte the studio counted; what the file holds then.
    QByteArray recording(const QString &id, int timeoutMs = 10000) const
    {
        QDeadlineTimer deadline(timeoutMs);
        const QJsonObject closed = waitForStream(id, QStringLiteral("media"), 0, timeoutMs, 0);
        const QString path = QDir(m_recordDir.path()).filePath(closed.value("record").toString());
        const qint64 bytes = count(closed, "bytes");
        // The studio may show the stream closed a moment before the file is.
        while (!closed.isEmpty() && QFileInfo(path).size() < bytes && !deadline.hasExpired())
            QThread::msleep(kPollMs);
        QFile file(path);
        return !closed.isEmpty() && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QByteArray output()  // what the server printed so far
    {
        // Takes up what the pipe holds now; a few short waits, so the call stays bounded.
        for (int i = 0; i < 10 && m_process.waitForReadyRead(20); ++i)
            m_output += m_process.readAll();
        m_output += m_process.readAll();
        return m_output;
    }

    // One HTTP/1.0 GET; the body, statusCode -1 when no answer.
    QByteArray httpGet(const QString &path, int *statusCode = nullptr, int timeoutMs = 3000) const
    {
        QTcpSocket socket;
        socket.connectToHost(host(), m_httpPort);
        QByteArray response;
        if (socket.waitForConnected(timeoutMs)) {
            socket.write("GET " + path.toUtf8() + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
            QDeadlineTimer deadline(timeoutMs);
            while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
                socket.waitForReadyRead(kPollMs);
                response += socket.readAll();
            }
            response += socket.readAll();
        }
        const int headerEnd = response.indexOf("\r\n\r\n");
        if (statusCode)
            *statusCode = headerEnd < 0 ? -1 : response.mid(9, 3).toInt();
        return headerEnd < 0 ? QByteArray() : response.mid(headerEnd + 4);
    }
    QJsonObject status() const
    {
        return QJsonDocument::fromJson(httpGet(QStringLiteral("/status"))).object();
    }
    // Polls "/status" until the stream with this id and kind has minBytes
    // (and, unless -1, this connected state); it, or {} at the deadline.
    QJsonObject waitForStream(const QString &id, const QString &kind, qint64 minBytes = 0, int timeoutMs = 10000,
                              int connected = -1) const
    {
        for (QDeadlineTimer deadline(timeoutMs);;) {
            const QJsonObject stream = findStream(status(), id, kind);
            const bool stateOk = connected < 0 || stream.value("connected").toBool() == bool(connected);
            if (!stream.isEmpty() && count(stream, "bytes") >= minBytes && stateOk)
                return stream;
            if (deadline.hasExpired())
                return QJsonObject();
            QCoreApplication::processEvents(QEventLoop::AllEvents, kPollMs);
            QThread::msleep(kPollMs);
        }
    }

    // The newest stream entry with this id and kind, or {}.
    static QJsonObject findStream(const QJsonObject &status, const QString &id, const QString &kind)
    {
        const QList<QJsonObject> found = findStreams(status, id, kind);
        return found.isEmpty() ? QJsonObject() : found.last();
    }
    // Every entry with this id and kind, one a connection, oldest first.
    static QList<QJsonObject> findStreams(const QJsonObject &status, const QString &id, const QString &kind)
    {
        QList<QJsonObject> found;
        for (const QJsonValue &value : status.value("streams").toArray()) {
            const QJsonObject stream = value.toObject();
            if (stream.value("id").toString() == id && stream.value("kind").toString() == kind)
                found.append(stream);
        }
        return found;
    }
    // A counter of a stream entry ("bytes", "lost_messages", ...); 0 when absent.
    static qint64 count(const QJsonObject &stream, const char *key)
    {
        return qint64(stream.value(QLatin1String(key)).toDouble());
    }

private:
    static constexpr int kPollMs = 50;
    QStringList m_extraArguments;
    QTemporaryDir m_recordDir;
    QProcess m_process;
    QByteArray m_output;
    quint16 m_srtPort = 0;
    quint16 m_httpPort = 0;
};
