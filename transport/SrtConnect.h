#pragma once
#include "transport/srt/ResolveHost.h"

#include <QByteArray>
#include <QString>

// Opens a live-mode SRT caller connection to a dotted IPv4 address, the way
// every connection the program opens itself is set up (resolveHost turns a
// host name into such an address first). Returns the empty text on success
// (the connected socket is in *socket and belongs to the caller) or a failure
// text (then *socket is -1). A non-empty passphrase encrypts the connection
// (16-byte key); *reason (when given) receives libsrt's reason for a failure,
// for a refused connection its reject reason, and *refused (when given)
// whether the server answered with a refusal (see SrtCaller::isRefusal).
QString srtConnect(int *socket, QString host, quint16 port, QString streamId, int peerLatency,
                   const QByteArray &passphrase = QByteArray(), QString *reason = nullptr, bool *refused = nullptr);

// A failure text with libsrt's reason behind it in parentheses ("SRT CONNECT
// FAILED (Wrong password)"); the plain failure when there is no reason, the
// empty text for a success.
QString failureWithReason(const QString &failure, const QString &reason);
