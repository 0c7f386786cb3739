#pragma once
#include "media/engine/MFFactory.h"
#include "media/engine/MFFrame.h"

#include <QPainter>
#include <QRandomGenerator>

#include <cmath>
#include <vector>

// How much of the picture is noise: a band along the top, or all of it (a
// picture that needs every bit of a high rate, like a window of moving noise).
enum class PatternNoise { Band, Everywhere };
Q_DECLARE_METATYPE(PatternNoise)

// A frame of a moving picture with noise (so encoders need the bit rate) and
// 1764 samples of a 440 Hz stereo tone (one 25 fps frame at 44100 Hz); index
// is the frame's number, which the picture shows.
inline mf::MFFramePtr patternFrame(int width, int height, int index, PatternNoise noise = PatternNoise::Band)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((index * 3) % 360, 200, 200));
    QPainter painter(&image);
    painter.fillRect(QRect((index * 8) % width, height / 4, width / 5, height / 2), Qt::white);
    painter.setPen(Qt::black);
    painter.setFont(QFont(QStringLiteral("Sans"), height / 10));
    painter.drawText(image.rect(), Qt::AlignCenter, QString::number(index));
    painter.end();
    // Noise in a band keeps the encoder busy at every bit rate.
    QRandomGenerator random(quint32(index + 1));
    const int noiseRows = noise == PatternNoise::Band ? height / 6 : height;
    for (int y = 0; y < noiseRows; ++y) {
        auto *row = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] = random.generate() | 0xff000000u;
    }
    mf::MFFramePtr frame = mf::MFFactory::fromImage(image);
    const int samples = 1764;
    std::vector<int16_t> tone(samples * 2);
    for (int i = 0; i < samples; ++i) {
        const double t = double(index * samples + i) / 44100.0;
        tone[size_t(2 * i)] = tone[size_t(2 * i + 1)] = int16_t(8000 * std::sin(2 * M_PI * 440 * t));
    }
    frame->setAudio(mf::MFAudioFormat{2, 44100, 16}, samples, tone.data());
    return frame;
}
