#pragma once
#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

// The parsers log what they skip; millions of lines would only slow the run.
inline void silenceQtMessages()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// A broken promise of the code under test: reported like a sanitizer
// finding, so libFuzzer keeps the input that caused it.
inline void require(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz: violated: %s\n", what);
    std::abort();
}

} // namespace fuzz
