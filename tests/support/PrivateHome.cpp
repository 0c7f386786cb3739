#include "PrivateHome.h"

#include <QDir>

PrivateHome::PrivateHome()
{
    if (!m_dir.isValid())
        return;
    QDir().mkpath(configDir());
    QDir().mkpath(tempDir());
    qputenv("XDG_CONFIG_HOME", configDir().toLocal8Bit());
    qputenv("TMPDIR", tempDir().toLocal8Bit());
}
