#include "app/widgets/TLevelMeter.h"

#include <QPainter>

namespace {
// The bar falls by this much per period once the sound is quieter.
constexpr float kFallDbPerPeriod = 3.f;
constexpr double kWarningFill = 0.85;  // about -9 dB
}

TLevelMeter::TLevelMeter(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("levelMeter"));
    setFixedSize(sizeHint());
    setAccessibleName(QStringLiteral("Sound level"));
    setToolTip(QStringLiteral("Sound level of the microphone (and the system sound when added): no sound"));
    m_timer.setInterval(kPeriodMs);
    connect(&m_timer, &QTimer::timeout, this, &TLevelMeter::poll);
}

void TLevelMeter::setSource(Source source)
{
    m_source = std::move(source);
    if (m_source)
        m_timer.start();
    else
        m_timer.stop();
}

void TLevelMeter::poll()
{
    if (m_source)
        setLevel(m_source());
}

void TLevelMeter::setLevel(float db)
{
    const float shown = db >= m_shownDb ? db : qMax(db, m_shownDb - kFallDbPerPeriod);
    if (qFuzzyCompare(shown, m_shownDb))
        return;
    m_shownDb = shown;
    setToolTip(QStringLiteral("Sound level of the microphone (and the system sound when added): %1")
                   .arg(m_shownDb <= kFloorDb ? QStringLiteral("no sound")
                                             : QStringLiteral("%1 dB").arg(qRound(m_shownDb))));
    update();
}

double TLevelMeter::fill() const
{
    if (m_shownDb <= kFloorDb)
        return 0.0;
    return qBound(0.0, double(m_shownDb - kFloorDb) / double(-kFloorDb), 1.0);
}

QSize TLevelMeter::sizeHint() const
{
    return QSize(10, 30);
}

void TLevelMeter::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(rect(), QColor(QStringLiteral("#0E2B47")));
    const QRect inner = rect().adjusted(2, 2, -2, -2);
    const int lit = qRound(inner.height() * fill());
    const int warnFrom = inner.bottom() - qRound(inner.height() * kWarningFill);
    for (int y = inner.bottom(); y > inner.bottom() - lit; --y)
        painter.fillRect(QRect(inner.left(), y, inner.width(), 1),
                         y < warnFrom ? QColor(QStringLiteral("#ff6b5a")) : QColor(QStringLiteral("#33d17a")));
    painter.setPen(QColor(QStringLiteral("#34383A")));
    painter.drawRect(frame);
}
