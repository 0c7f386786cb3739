#pragma once
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

namespace mf {

// Option texts of the form  key='value' key2=value2  (values may be quoted
// with single or double quotes; unquoted values end at the next blank), as
// the engine's components and the writer configuration take them.
class MFOptions
{
public:
    // By key; of a key given twice the last value counts.
    static QMap<QString, QString> parse(const QString &text);
    // Every key and value in the order of the text.
    static QList<QPair<QString, QString>> pairs(const QString &text);
    // "#rrggbb(alpha)" or any QColor name; alpha is 0..255, default 255.
    // Returns false when the text names no colour.
    static bool parseColor(const QString &text, quint32 *argb);
};

} // namespace mf
