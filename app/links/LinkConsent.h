#pragma once
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QMessageBox;
class QSettings;
class QWidget;

// Links reach the program from outside: the desktop starts it for an
// orvanta:// link on any web page or in any mail, and a later start hands its
// link over. Such a link may start a broadcast at once only to a server the
// user has broadcast to before, and never replaces a live broadcast unasked.
// Otherwise a question names the server, the stream ID and what would be
// sent, and nothing happens until the user answers Start.
//
// Confirmed servers ("host:port") are kept in the settings, and an exported
// copy carries the one it was made for in a file beside its program.
class LinkConsent : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxRemembered = 100;
    static constexpr int kShownCharacters = 80;
    static const char *const kConfirmedFileName;
    static const char *const kTitle;

    // programFolder: where an exported copy's kConfirmedFileName lies.
    // Without settings only the copy's server counts, and nothing is remembered.
    LinkConsent(QSettings *settings, QWidget *boxParent, QString programFolder, QObject *parent = nullptr);

    // "host:port" of a server field, lower case; empty when it names no port.
    static QString serverOf(const QString &serverField);
    bool isConfirmed(const QString &serverField) const;
    // Remembers the server (the most recent kMaxRemembered).
    void confirm(const QString &serverField);

    // Whether request() would ask first.
    bool needsQuestion(const QString &link, bool live) const;
    // granted(link) at once, or once the user chose Start; nothing on Cancel.
    // A question still open is cancelled by a newer link. sent: what the
    // broadcast would carry, in words ("camera", "microphone", "screen").
    void request(const QString &link, bool live, const QStringList &sent);
    static QString question(const QString &link, bool live, const QStringList &sent);

signals:
    void granted(const QString &link);

private:
    QStringList confirmedServers() const;

    QSettings *m_settings;
    QWidget *m_boxParent;
    QStringList m_confirmedWithCopy;
    QPointer<QMessageBox> m_box;
};
