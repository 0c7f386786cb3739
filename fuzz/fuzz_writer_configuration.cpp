// The writer's "key='value'" configuration text.
#include "FuzzSupport.h"

#include "media/engine/MFOptions.h"
#include "media/engine/WriterConfiguration.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(fuzz::bytes(data, size));
    const mf::WriterConfiguration config = mf::WriterConfiguration::parse(text);
    fuzz::require(config.gopSize > 0, "the key frame distance stays positive");
    for (qint64 rate : {config.videoBitRate, config.videoMaxRate, config.audioBitRate, config.audioMinRate,
                        config.audioMaxRate})
        fuzz::require(rate >= 0, "a rate is never negative");
    fuzz::require(mf::WriterConfiguration::parseRate(text) >= -1, "a rate is -1 or a number of bit/s");
    quint32 argb = 0;
    mf::MFOptions::parseColor(text, &argb);
    mf::MFOptions::parse(text);
    return 0;
}
