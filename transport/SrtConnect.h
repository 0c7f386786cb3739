#pragma once
#include "transport/srt/ResolveHost.h"

#include <QByteArray>
#include <QString>

#include <atomic>

// Opens a live-mode SRT caller connection to a dotted IPv4 address, the way
// every connection the program opens itself is set up (resolveHost turns a
// host name into such an address first). Returns the empty text on success
// (the connected socket is in *socket and belongs to the caller) or a failure
// text (then *socket is -1) with libsrt's reason, the listener's reject
// reason included, in *reason when given. With cancel, the connect ends soon
// after the flag turns true. A non-empty passphrase encrypts the connection
// (16-byte key); *refused (when given) says whether the server answered with
// a refusal (see SrtCaller::isRefusal).
QString srtConnect(int *socket, QString host, quint16 port, QString streamId, int peerLatency,
                   const std::atomic<bool> *cancel = nullptr, QString *reason = nullptr,
                   const QByteArray &passphrase = QByteArray(), bool *refused = nullptr);

// A failure text with libsrt's reason behind it in parentheses ("SRT CONNECT
// FAILED (rejected: Incorrect passphrase)"); the plain failure when there is
// no reason, the empty text for a success.
QString failureWithReason(const QString &failure, const QString &reason);
