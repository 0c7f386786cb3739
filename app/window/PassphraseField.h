#pragma once
#include <QObject>
#include <QString>

#include <functional>

class QLineEdit;
class StatusArea;

// Checks the passphrase field as it is typed: a passphrase libsrt would
// refuse (not 10 to 79 characters) outlines the field, adds the rule to its
// tool tip and, while no broadcast runs, says so in the status area; the
// notice goes again once the passphrase is usable.
class PassphraseField : public QObject
{
    Q_OBJECT
public:
    using Quiet = std::function<bool()>;

    // quiet: true while the status area belongs to a running broadcast.
    PassphraseField(QLineEdit *field, StatusArea *area, Quiet quiet, QObject *parent = nullptr);

    // Why the typed passphrase cannot be used; empty when it can.
    QString problem() const;

private:
    void check();

    QLineEdit *m_field;
    StatusArea *m_area;
    Quiet m_quiet;
    QString m_toolTip;
    QString m_shownProblem;
};
