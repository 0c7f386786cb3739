#include "StreamRoute.h"

#include <QCryptographicHash>

namespace {
// Far below the usual 255-byte limit for a file name, with room for the hash.
constexpr int kMaxEncodedStem = 200;
constexpr int kKeptStem = 160;
constexpr int kHashBytes = 16;

struct Suffix {
    const char *text;
    StreamRoute::Kind kind;
};
const Suffix kSuffixes[] = {
    {"#feedbackplay", StreamRoute::Feedback},
    {"#control", StreamRoute::Control},
    {"#speedtest", StreamRoute::SpeedTest},
};

// Percent-encodes everything but letters, digits, '-', '_' and '.' ('~' too,
// which Qt would leave alone), and a leading '.', so no name is hidden or
// names the folder itself or its parent.
QByteArray encodeStem(const QByteArray &id)
{
    QByteArray stem = id.toPercentEncoding(QByteArray(), "~");
    if (stem.startsWith('.'))
        stem.replace(0, 1, "%2E");
    return stem;
}

// Cuts a stem without splitting a %XX triple.
QByteArray cutStem(const QByteArray &stem, int length)
{
    int cut = length;
    for (int i = qMax(0, length - 2); i < length; ++i) {
        if (stem.at(i) == '%')
            cut = i;
    }
    return stem.left(cut);
}
}

StreamRoute StreamRoute::parse(const QByteArray &streamId)
{
    StreamRoute route;
    route.id = streamId;
    for (const Suffix &suffix : kSuffixes) {
        if (streamId.endsWith(suffix.text)) {
            route.id = streamId.left(streamId.size() - int(qstrlen(suffix.text)));
            route.kind = suffix.kind;
            break;
        }
    }
    return route;
}

QString StreamRoute::kindName(Kind kind)
{
    switch (kind) {
    case Media: return QStringLiteral("media");
    case Feedback: return QStringLiteral("feedback");
    case Control: return QStringLiteral("control");
    case SpeedTest: return QStringLiteral("speedtest");
    }
    return QString();
}

QString StreamRoute::printable(const QByteArray &bytes)
{
    QString clean = QString::fromUtf8(bytes);
    for (QChar &c : clean) {
        if (!c.isPrint())
            c = QChar('?');
    }
    return clean;
}

QString StreamRoute::recordFileName() const
{
    QByteArray stem = encodeStem(id);
    if (stem.size() > kMaxEncodedStem) {
        const QByteArray hash = QCryptographicHash::hash(id, QCryptographicHash::Sha256).left(kHashBytes).toHex();
        stem = cutStem(stem, kKeptStem) + '~' + hash;
    }
    return QString::fromLatin1(stem) + QStringLiteral(".ts");
}
