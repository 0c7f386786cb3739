#pragma once
// Checks of what a window shows (header only).
#include "app/widgets/TElidedLabel.h"

#include <QtWidgets>

namespace WindowChecks {

// Every visible status bar label lies inside it and shows its whole text or,
// cut with "…", has it in its tool tip; the CPU indicator is shown. What is
// wrong, a line each.
inline QStringList statusBarProblems(QStatusBar *bar)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QStringList problems;
    bool cpuShown = false;
    for (QLabel *label : bar->findChildren<QLabel *>()) {
        if (!label->isVisibleTo(bar) || label->text().isEmpty())
            continue;
        const QRect inBar(label->mapTo(bar, QPoint(0, 0)), label->size());
        const QString name = label->objectName() + " \"" + label->text() + "\"";
        if (!bar->rect().contains(inBar)) // the window's layout keeps the bar inside it
            problems << name + QStringLiteral(" lies outside the status bar");
        cpuShown |= label->objectName() == QLatin1String("cpuLabel") && label->width() > 0;
        const auto *elided = qobject_cast<TElidedLabel *>(label);
        if (elided && elided->isElided()) {
            if (!label->toolTip().contains(label->text().trimmed()))
                problems << name + QStringLiteral(" is cut without its whole text in the tool tip");
            continue;
        }
        const int needed = label->fontMetrics().horizontalAdvance(label->text());
        if (needed > label->contentsRect().width())
            problems << name + QStringLiteral(" needs %1 px, has %2").arg(needed).arg(label->contentsRect().width());
    }
    if (!cpuShown)
        problems << QStringLiteral("the CPU indicator is not shown");
    return problems;
}

} // namespace WindowChecks
