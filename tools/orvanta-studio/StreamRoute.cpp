#include "StreamRoute.h"

namespace {
constexpr int kMaxFileStem = 120;

struct Suffix {
    const char *text;
    StreamRoute::Kind kind;
};
const Suffix kSuffixes[] = {
    {"#feedbackplay", StreamRoute::Feedback},
    {"#control", StreamRoute::Control},
    {"#speedtest", StreamRoute::SpeedTest},
};
}

StreamRoute StreamRoute::parse(const QString &streamId)
{
    StreamRoute route;
    route.id = streamId;
    for (const Suffix &suffix : kSuffixes) {
        const QString text = QString::fromLatin1(suffix.text);
        if (streamId.endsWith(text)) {
            route.id = streamId.left(streamId.size() - text.size());
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

QString StreamRoute::recordFileName() const
{
    QString stem;
    for (const QChar c : id) {
        const bool safe = (c.unicode() < 128 && c.isLetterOrNumber()) || c == '-' || c == '_' || c == '.';
        stem += safe ? c : QChar('_');
    }
    if (stem.startsWith('.'))
        stem[0] = '_';
    return stem.left(kMaxFileStem) + QStringLiteral(".ts");
}
