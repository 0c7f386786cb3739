#include "media/engine/MFOptions.h"

#include <QColor>
#include <QRegularExpression>

namespace mf {

QMap<QString, QString> MFOptions::parse(const QString &text)
{
    QMap<QString, QString> result;
    for (const auto &pair : pairs(text))
        result.insert(pair.first, pair.second);
    return result;
}

QList<QPair<QString, QString>> MFOptions::pairs(const QString &text)
{
    QList<QPair<QString, QString>> result;
    static const QRegularExpression item(
        QStringLiteral(R"re(([\w.:\-]+)\s*=\s*(?:'([^']*)'|"([^"]*)"|(\S*)))re"));
    auto it = item.globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        QString value = m.captured(2);
        if (m.capturedStart(2) < 0)
            value = m.capturedStart(3) >= 0 ? m.captured(3) : m.captured(4);
        result.append({m.captured(1), value});
    }
    return result;
}

bool MFOptions::parseColor(const QString &text, quint32 *argb)
{
    static const QRegularExpression form(QStringLiteral(R"re(^\s*([^()\s]+)\s*(?:\((\d+)\))?\s*$)re"));
    const auto m = form.match(text);
    if (!m.hasMatch())
        return false;
    const QColor color(m.captured(1));
    if (!color.isValid())
        return false;
    int alpha = 255;
    if (!m.captured(2).isEmpty())
        alpha = qBound(0, m.captured(2).toInt(), 255);
    *argb = (quint32(alpha) << 24) | (color.rgb() & 0xFFFFFFu);
    return true;
}

} // namespace mf
