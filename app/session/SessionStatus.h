#pragma once
#include <QString>

// What the status line shows of a broadcast: a short state that is never cut
// ("LIVE 00:12:31", "Connecting…", "Server lost — retrying in 4 s (attempt 3)")
// and the details after it (figures, or the cause of a failure), which may be
// cut on a narrow window and then stand in full in the tool tip.
struct SessionStatus
{
    enum class Tone { Neutral, Good, Warning, Error };

    QString state;
    QString details;
    Tone tone = Tone::Neutral;

    bool isWarning() const { return tone == Tone::Warning || tone == Tone::Error; }
    // Both in one line, as the tool tip and the log read it.
    QString fullText() const
    {
        if (state.isEmpty())
            return details;
        if (details.isEmpty())
            return state;
        return state + QStringLiteral(" — ") + details;
    }
};
