#include "diagnostics/LogLine.h"

#include <QDebug>

Q_LOGGING_CATEGORY(lcOrvantaLog, "orvanta.log")

void logLine(const QString &message)
{
    qCDebug(lcOrvantaLog) << "--LOG:" << message;
}
