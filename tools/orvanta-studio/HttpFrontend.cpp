#include "HttpFrontend.h"

#include "OrvantaVersion.h"

#include "StudioOptions.h"
#include "StudioStatus.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace {
constexpr int kMaxRequestBytes = 8192;
constexpr int kRequestTimeoutMs = 5000;
constexpr qint64 kMaxManifestBytes = 1 << 20;
const char *const kLookupPath = "/api/srt/get_url/";
const char *const kManifestPath = "/downloads/orvanta_win.json";

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray reasonOf(int code)
{
    switch (code) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    default: return "Internal Server Error";
    }
}
}

HttpFrontend::HttpFrontend(StudioStatus *status, QMap<QString, QString> numbers, QString manifestFile,
                           QObject *parent)
    : QObject(parent), m_status(status), m_numbers(std::move(numbers)), m_manifestFile(std::move(manifestFile))
{
    connect(&m_server, &QTcpServer::newConnection, this, &HttpFrontend::onNewConnection);
}

bool HttpFrontend::listen(const QString &host, quint16 port, QString *error)
{
    if (m_server.listen(QHostAddress(host), port))
        return true;
    *error = m_server.errorString();
    return false;
}

void HttpFrontend::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        m_requests.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, socket] { m_requests.remove(socket); });
        QTimer::singleShot(kRequestTimeoutMs, socket, [socket] { socket->abort(); socket->deleteLater(); });
    }
}

void HttpFrontend::onReadyRead(QTcpSocket *socket)
{
    QByteArray &request = m_requests[socket];
    request += socket->read(kMaxRequestBytes + 1 - request.size());
    const int headerEnd = request.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        if (request.size() > kMaxRequestBytes)
            send(socket, {400, json({{"error", "request too large"}})});
        return;
    }
    const QList<QByteArray> requestLine = request.left(request.indexOf("\r\n")).split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/")) {
        send(socket, {400, json({{"error", "bad request"}})});
        return;
    }
    QByteArray target = requestLine.at(1);
    target = target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    send(socket, answer(requestLine.at(0), QString::fromUtf8(target)));
}

HttpFrontend::Reply HttpFrontend::answer(const QByteArray &method, const QString &path) const
{
    if (method != "GET")
        return {405, json({{"error", "only GET"}})};
    if (path == QLatin1String("/status"))
        return {200, m_status->toJson()};
    if (path == QLatin1String(kManifestPath))
        return manifest();
    if (path.startsWith(QLatin1String(kLookupPath)))
        return lookupNumber(QUrl::fromPercentEncoding(path.mid(int(strlen(kLookupPath))).toUtf8()));
    return {404, json({{"error", "not found"}})};
}

HttpFrontend::Reply HttpFrontend::lookupNumber(const QString &number) const
{
    const QString link = m_numbers.value(StudioOptions::digitsOf(number));
    if (link.isEmpty())
        return {200, json({{"error", "Number not found"}, {"state", "false"}})};
    return {200, json({{"state", "true"}, {"url", link}})};
}

HttpFrontend::Reply HttpFrontend::manifest() const
{
    if (m_manifestFile.isEmpty())
        return {200, json({{"build", ORVANTA_BUILD_NUMBER}, {"msg", ""}, {"url", ""}})};
    QFile file(m_manifestFile);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxManifestBytes)
        return {500, json({{"error", "manifest not readable"}})};
    return {200, file.readAll()};
}

void HttpFrontend::send(QTcpSocket *socket, const Reply &reply)
{
    QByteArray response = "HTTP/1.0 " + QByteArray::number(reply.code) + ' ' + reasonOf(reply.code) + "\r\n";
    response += "Content-Type: application/json\r\n";
    response += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    response += "Connection: close\r\n\r\n";
    response += reply.body;
    socket->write(response);
    socket->disconnectFromHost();
    // Further bytes from this client are not read any more.
    socket->disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
}
