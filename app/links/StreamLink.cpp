#include "app/links/StreamLink.h"

#include <QRegularExpression>

namespace {
const QLatin1String kSchemeEnd("://");
} // namespace

StreamLink::StreamLink(const QString &text)
{
    const int schemeEnd = text.indexOf(kSchemeEnd);
    m_isLink = schemeEnd >= 0;
    if (!m_isLink)
        return;
    m_scheme = text.left(schemeEnd);
    m_fields = text.mid(schemeEnd + kSchemeEnd.size()).split(QLatin1Char('/'));
}

QString StreamLink::field(int index) const
{
    return m_fields.value(index);
}

bool StreamLink::twoFrames() const
{
    return field(TwoFrames).toUpper() == QLatin1String("DBL");
}

bool StreamLink::isUsable() const
{
    return m_isLink && hasUsableScheme() && hasUsableServer() && !field(StreamId).trimmed().isEmpty();
}

bool StreamLink::hasUsableScheme() const
{
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*$"));
    return scheme.match(m_scheme).hasMatch();
}

bool StreamLink::hasUsableServer() const
{
    // A host name or dotted address; no blanks, no '@' (no user part
    // that could make the text mean another host than it shows).
    static const QRegularExpression server(QStringLiteral("^([A-Za-z0-9._-]+):([0-9]{1,5})$"));
    const QRegularExpressionMatch match = server.match(field(Server));
    if (!match.hasMatch())
        return false;
    const int port = match.captured(2).toInt();
    return port >= 1 && port <= 65535;
}
