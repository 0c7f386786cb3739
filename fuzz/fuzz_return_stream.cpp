// The server's return stream: transport-stream demuxing and decoding of
// pictures and sound, by the same decoder the player runs, from memory.
#include "FuzzSupport.h"

#include "media/engine/TsDecoder.h"

extern "C" {
#include <libavutil/log.h>
}
#include <QImage>

#include <atomic>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::silenceQtMessages();
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t offset = 0;
    mf::TsDecoder decoder(
        [&](uint8_t *buffer, int wanted) {
            const size_t count = std::min(size - offset, size_t(wanted));
            if (count == 0)
                return -1;
            std::memcpy(buffer, data + offset, count);
            offset += count;
            return int(count);
        },
        true);
    int notices = 0;
    decoder.setNotice([&](const QString &, bool) { ++notices; });
    const std::atomic<bool> stop{false};
    decoder.run(stop, [](QImage picture, std::vector<int16_t> sound) {
        fuzz::require(sound.size() % mf::TsDecoder::kChannels == 0, "sound comes in whole stereo frames");
        if (picture.isNull())
            return;
        fuzz::require(picture.format() == QImage::Format_RGB32, "pictures are RGB32");
        fuzz::require(picture.width() <= mf::TsDecoder::kMaxWidth && picture.height() <= mf::TsDecoder::kMaxHeight,
                      "pictures fit the largest size");
    });
    fuzz::require(notices <= 1, "the notice comes at most once");
    return 0;
}
