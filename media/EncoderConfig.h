#pragma once
#include <QString>
#include <QStringList>
#include <QVector>
#include <memory>

namespace mf { class MFWriter; }

// The encoders the user can choose from and the writer configuration built
// from the user's choices.
class EncoderConfig
{
public:
    struct Encoder
    {
        QString text;   // shown in the encoder combo box
        QString codec;  // the writer's codec identifier (item data, user role)
    };

    static constexpr int kGopSize = 50;

    // Every row in display order.
    static QVector<Encoder> encoderTable();
    // The rows whose identifier is in available (whole, case-sensitive), in
    // table order.
    static QVector<Encoder> offeredEncoders(const QStringList &available);

    static QString writerConfiguration(int videoKbps, int audioKbps, const QString &codec);
    static QString writerTarget(int port);

    // Creates a writer, opens it on the local port with the configuration for
    // these choices and logs what it did. The writer is returned even when its
    // open failed (its puts then fail); nullptr only when it cannot be created.
    static std::shared_ptr<mf::MFWriter> createWriter(int videoKbps, int audioKbps, int port,
                                                      const QString &codec);
};
