#pragma once
#include <QMap>
#include <QString>

namespace mf {

// Option texts of the form  key='value' key2=value2  (values may be quoted
// with single or double quotes; unquoted values end at the next blank).
class MFOptions
{
public:
    static QMap<QString, QString> parse(const QString &text);
    // "#rrggbb(alpha)" or any QColor name; alpha is 0..255, default 255.
    // Returns false when the text names no colour.
    static bool parseColor(const QString &text, quint32 *argb);
};

} // namespace mf
