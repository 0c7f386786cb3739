#pragma once
#include <QObject>
#include <QString>

namespace mf {

// What the desktop portal's screen sharing tells the program: texts for the
// status line and the restore token the settings keep. One object for the
// process; the engine emits from its own threads, receivers get the signals
// queued on theirs.
class MFScreenCastEvents : public QObject
{
    Q_OBJECT
public:
    enum class Problem {
        Cancelled,     // the user closed the portal's dialog without a choice
        Failed,        // the portal answered with a failure
        NoPortal,      // no xdg-desktop-portal on the session bus
        NoScreenCast,  // a portal without the ScreenCast interface
        NoAnswer,      // a request got no answer in time
        Ended,         // the stream went away (session closed, node gone, paused)
    };
    Q_ENUM(Problem)

    static MFScreenCastEvents &instance();

    // The text shown for a problem; detail, where given, is put in brackets.
    static QString text(Problem problem, const QString &detail = QString());
    // Logs one line and emits problemReported.
    static void report(Problem problem, const QString &detail = QString());

    // The token the next session offers the portal so the user is not asked
    // again; stored by whoever keeps the settings.
    static QString restoreToken();
    static void setRestoreToken(const QString &token);
    // A token the portal handed out: kept, and announced for the settings.
    static void storeRestoreToken(const QString &token);

    static const char *const kWindowsNotOffered;

signals:
    void problemReported(int problem, const QString &text);
    void restoreTokenChanged(const QString &token);
    // Sharing started on a stream the portal granted.
    void sharingStarted();

public:
    static void announceStarted();

private:
    MFScreenCastEvents() = default;
};

} // namespace mf
