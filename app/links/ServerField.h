#pragma once
#include <QString>

// The server field of the advanced form ("host:port", optionally with "srt://"
// in any case) as the broadcast and the speed test read it. Both warn with
// kIncorrectText when the field has no ':'; the broadcast also builds its
// feedback URL from the whole cleaned text, the speed test needs host and port
// only.
class ServerField
{
public:
    static const char *const kIncorrectText;

    explicit ServerField(const QString &field);

    // At least a host part and a port part: the text holds a ':'.
    bool hasPort() const { return m_hasPort; }
    // Lower-cased, every "srt://" removed, nothing else changed (a third
    // ":"-separated part stays in it).
    QString text() const { return m_text; }
    // Before the first ':'; may be empty.
    QString host() const { return m_host; }
    // Between the first and the second ':'; 0 when that is not a number.
    int port() const { return m_port; }

private:
    QString m_text;
    QString m_host;
    int m_port = 0;
    bool m_hasPort = false;
};
