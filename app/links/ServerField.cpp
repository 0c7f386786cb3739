#include "app/links/ServerField.h"

#include <QStringList>

const char *const ServerField::kIncorrectText = "Incorrect SRT Server. Please enter host and port.";

ServerField::ServerField(const QString &field)
    : m_text(field.toLower().remove(QStringLiteral("srt://")))
{
    const QStringList parts = m_text.split(QLatin1Char(':'), Qt::KeepEmptyParts);
    m_hasPort = parts.size() >= 2;
    if (!m_hasPort)
        return;
    m_host = parts.at(0);
    m_port = parts.at(1).toInt();
}
