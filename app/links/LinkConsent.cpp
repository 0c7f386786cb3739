#include "app/links/LinkConsent.h"

#include "app/links/ServerField.h"
#include "app/services/SettingsKeys.h"
#include "app/links/StreamLink.h"

#include <QDebug>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

const char *const LinkConsent::kConfirmedFileName = "confirmed-servers";
const char *const LinkConsent::kTitle = "Start Broadcast";

namespace {
constexpr qint64 kMaxFileBytes = 4096;

QStringList serversInFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList servers;
    for (const QByteArray &line : file.read(kMaxFileBytes).split('\n')) {
        const QString server = LinkConsent::serverOf(QString::fromUtf8(line.trimmed()));
        if (!server.isEmpty())
            servers << server;
    }
    return servers;
}

// A link's texts come from anywhere: shown shortened, as plain text.
QString shown(const QString &text)
{
    QString single = text.simplified();
    if (single.size() > LinkConsent::kShownCharacters)
        single = single.left(LinkConsent::kShownCharacters - 1) + QChar(0x2026);
    return single;
}

QString listed(const QStringList &items)
{
    if (items.size() < 2)
        return items.join(QString());
    return QStringList(items.mid(0, items.size() - 1)).join(QStringLiteral(", ")) + QStringLiteral(" and ")
           + items.last();
}
} // namespace

LinkConsent::LinkConsent(QSettings *settings, QWidget *boxParent, QString programFolder, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_boxParent(boxParent)
    , m_confirmedWithCopy(serversInFile(programFolder + "/" + kConfirmedFileName))
{
}

QString LinkConsent::serverOf(const QString &serverField)
{
    const ServerField server(serverField);
    if (!server.hasPort() || server.host().isEmpty() || server.port() < 1 || server.port() > 65535)
        return QString();
    return server.host() + ":" + QString::number(server.port());
}

QStringList LinkConsent::confirmedServers() const
{
    return m_settings ? m_settings->value(SettingsKeys::ConfirmedServers).toStringList() : QStringList();
}

bool LinkConsent::isConfirmed(const QString &serverField) const
{
    const QString server = serverOf(serverField);
    return !server.isEmpty() && (confirmedServers().contains(server) || m_confirmedWithCopy.contains(server));
}

void LinkConsent::confirm(const QString &serverField)
{
    const QString server = serverOf(serverField);
    if (server.isEmpty() || !m_settings)
        return;
    QStringList servers = confirmedServers();
    if (!servers.isEmpty() && servers.first() == server)
        return;
    servers.removeAll(server);
    servers.prepend(server);
    m_settings->setValue(SettingsKeys::ConfirmedServers, QStringList(servers.mid(0, kMaxRemembered)));
}

// A link whose server names no port cannot send anything: the form's Start
// only warns about it, as it does for a typed one.
bool LinkConsent::needsQuestion(const QString &link, bool live) const
{
    const StreamLink parsed(link);
    if (!parsed.isLink())
        return false;
    if (live)
        return true;
    const QString server = parsed.field(StreamLink::Server);
    return !serverOf(server).isEmpty() && !isConfirmed(server);
}

QString LinkConsent::question(const QString &link, bool live, const QStringList &sent)
{
    const StreamLink parsed(link);
    const QString serverField = parsed.field(StreamLink::Server);
    const QString server = serverOf(serverField).isEmpty() ? serverField : serverOf(serverField);
    QString text = QStringLiteral("A link asks to broadcast to %1").arg(shown(server));
    const QString streamId = parsed.field(StreamLink::StreamId);
    if (!streamId.isEmpty())
        text += QStringLiteral(" with the stream ID \"%1\"").arg(shown(streamId));
    text += QStringLiteral(".\n\nIt would send your %1.").arg(listed(sent));
    if (live)
        text += QStringLiteral("\nThe live broadcast would end.");
    text += QStringLiteral("\n\nStart only if you know this server and expected this link.");
    return text;
}

void LinkConsent::request(const QString &link, bool live, const QStringList &sent)
{
    if (m_box)
        m_box->reject();  // a newer link replaces the question
    if (!needsQuestion(link, live)) {
        emit granted(link);
        return;
    }
    qDebug() << "-- a link asks to start: waiting for the user";
    auto *box = new QMessageBox(QMessageBox::Question, QLatin1String(kTitle), question(link, live, sent),
                                QMessageBox::NoButton, m_boxParent);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *start = box->addButton(QStringLiteral("Start"), QMessageBox::AcceptRole);
    // Enter and Escape both leave everything as it was.
    QPushButton *cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::buttonClicked, this, [this, link, start](QAbstractButton *button) {
        if (button != start)
            return;
        confirm(StreamLink(link).field(StreamLink::Server));
        emit granted(link);
    });
    m_box = box;
    box->open();
}
