#pragma once
#include <QLoggingCategory>
#include <QString>

// Log lines of the program's producers (window, mixer, relay, speed test).
// Filter them the Qt way, e.g. QT_LOGGING_RULES="orvanta.log.debug=false".
Q_DECLARE_LOGGING_CATEGORY(lcOrvantaLog)

// Writes "--LOG:" followed by the message to the Qt debug stream.
void logLine(const QString &message);
