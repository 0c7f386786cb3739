#pragma once
#include <QString>
#include <QTemporaryDir>

// A test program's own settings folder (XDG_CONFIG_HOME) and temporary
// folder (TMPDIR), removed when it ends, so that a run neither reads nor
// leaves anything in the user's. Make it before the QApplication.
class PrivateHome
{
public:
    PrivateHome();
    bool isValid() const { return m_dir.isValid(); }
    QString configDir() const { return m_dir.filePath("config"); }
    QString tempDir() const { return m_dir.filePath("tmp"); }

private:
    QTemporaryDir m_dir;
};
