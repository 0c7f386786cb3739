#pragma once
#include <QString>
#include <QtGlobal>

// The running log, also kept in a file a user can hand over: every message of
// the Qt debug stream is appended, with the time and its kind, to
// "orvanta.log" in the program's folder of the user's state location
// ($XDG_STATE_HOME, else ~/.local/state). Messages still reach the terminal
// as before. The file stays bounded: once it would grow past the limit it
// becomes "orvanta.log.1" (replacing an older one) and a new file begins.
class LogFile
{
public:
    static constexpr qint64 kDefaultLimitBytes = 2 * 1024 * 1024;

    // "<state folder>/orvanta/orvanta.log".
    static QString defaultPath();
    // Installs the message handler writing to path; returns false (and
    // installs nothing) when the file cannot be opened.
    static bool install(const QString &path = defaultPath(), qint64 limitBytes = kDefaultLimitBytes);
    // Restores the handler found at install().
    static void uninstall();
    // The file being written; empty when none is.
    static QString path();
};
