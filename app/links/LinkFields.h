#pragma once
#include <QString>

// The advanced form's values that make up a link.
struct LinkFields
{
    QString server;       // txtURL as typed
    QString streamId;     // txtStreamID as typed
    int videoBitRate = 0; // spbVBR
    QString audioBitRate; // cmbABR current text
    QString frameName;    // cmbFrames current text
    bool twoFrames = false; // chkCombined
    QString passphrase = QString(); // txtPassphrase; empty: no seventh field
};
