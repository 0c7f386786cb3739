#pragma once
#include "media/engine/MFImageConverter.h"
#include "media/engine/MFInterrupt.h"
#include "media/engine/MFVideoSource.h"

#include <QMap>
#include <QRect>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace mf {

// What a libavdevice input is asked to capture.
struct MFCaptureSettings
{
    QString inputFormat;          // "x11grab" or "video4linux2"
    QString url;                  // X display or camera device path
    QMap<QString, QString> options;
    QSize frameSize;              // size frames are fitted into when the caller asks for none
    quint32 backgroundArgb = 0xFF000000u;
};

// A camera or the X screen, read through libavdevice and converted to RGB32.
class MFCaptureSource : public MFVideoSource
{
public:
    explicit MFCaptureSource(const MFCaptureSettings &settings);
    ~MFCaptureSource() override;

    MFFramePtr read(const QSize &target) override;
    void interrupt() override { m_interrupted.raise(); }

    struct Camera
    {
        QString name; // the driver's card name
        QString path; // /dev/videoN
    };
    static QList<Camera> cameras();

private:
    bool open();
    void close();
    MFFramePtr convert(const AVFrame *picture, const QSize &target);
    static int interruptCallback(void *opaque);

    struct FormatDeleter { void operator()(AVFormatContext *c) const; };
    struct CodecDeleter { void operator()(AVCodecContext *c) const; };
    struct FrameDeleter { void operator()(AVFrame *f) const; };
    struct PacketDeleter { void operator()(AVPacket *p) const; };

    MFCaptureSettings m_settings;
    std::unique_ptr<AVFormatContext, FormatDeleter> m_input;
    std::unique_ptr<AVCodecContext, CodecDeleter> m_decoder;
    std::unique_ptr<AVFrame, FrameDeleter> m_frame;
    std::unique_ptr<AVPacket, PacketDeleter> m_packet;
    int m_streamIndex = -1;
    int m_failedOpens = 0;
    int m_failedReads = 0;
    MFInterrupt m_interrupted;
    MFImageConverter m_converter;
};

} // namespace mf
