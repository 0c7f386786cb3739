#pragma once
#include <QByteArray>
#include <functional>

// Watches a transport stream going past in chunks of any size and reports the
// presentation time stamp (90 kHz) of every video PES that starts in it.
class TsTimeTap
{
public:
    using Found = std::function<void(qint64 pts)>;
    explicit TsTimeTap(Found found) : m_found(std::move(found)) {}

    void feed(const char *data, int size);

private:
    void packet(const unsigned char *p);

    Found m_found;
    QByteArray m_carry;
};
