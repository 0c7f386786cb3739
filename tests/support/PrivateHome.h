#pragma once
#include <QDir>
#include <QString>
#include <QTemporaryDir>

// A test program's own XDG_CONFIG_HOME and TMPDIR, removed at its end; made
// before the QApplication.
class PrivateHome
{
public:
    PrivateHome()
    {
        if (!m_dir.isValid())
            return;
        QDir().mkpath(configDir());
        QDir().mkpath(tempDir());
        qputenv("XDG_CONFIG_HOME", configDir().toLocal8Bit());
        qputenv("TMPDIR", tempDir().toLocal8Bit());
    }
    bool isValid() const { return m_dir.isValid(); }
    QString configDir() const { return m_dir.filePath("config"); }
    QString tempDir() const { return m_dir.filePath("tmp"); }

private:
    QTemporaryDir m_dir;
};
