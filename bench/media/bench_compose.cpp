// Time per output frame of our composition against libavfilter doing the same
// (solid background, full-frame screen, scaled camera inset; and the two-frames
// canvas), measured in the same run on the same pictures.
#include "media/Mixer.h"
#include "media/engine/MFFactory.h"
#include "media/engine/MFTestPatternSource.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>

#include <cstdio>
#include <memory>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

namespace {

struct GraphDeleter { void operator()(AVFilterGraph *g) const { avfilter_graph_free(&g); } };
struct FrameDeleter { void operator()(AVFrame *f) const { av_frame_free(&f); } };
using Graph = std::unique_ptr<AVFilterGraph, GraphDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;

QImage pattern(int w, int h, int seed)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::black);
    mf::MFTestPatternSource::draw(img, seed, 1000000 + seed);
    return img;
}

Frame toAvFrame(const QImage &img)
{
    Frame f(av_frame_alloc());
    f->format = AV_PIX_FMT_BGRA;
    f->width = img.width();
    f->height = img.height();
    av_frame_get_buffer(f.get(), 32);
    av_image_copy_plane(f->data[0], f->linesize[0], img.constBits(), int(img.bytesPerLine()), img.width() * 4,
                        img.height());
    return f;
}

// Two buffer sources ("a", "b") into the description, one sink.
struct Lavfi
{
    Graph graph;
    AVFilterContext *a = nullptr, *b = nullptr, *sink = nullptr;

    bool build(int w, int h, const QString &chain)
    {
        graph.reset(avfilter_graph_alloc());
        graph->nb_threads = 1;
        const QString args = QStringLiteral("video_size=%1x%2:pix_fmt=%3:time_base=1/25:pixel_aspect=1/1")
                                 .arg(w).arg(h).arg(int(AV_PIX_FMT_BGRA));
        if (avfilter_graph_create_filter(&a, avfilter_get_by_name("buffer"), "a", args.toUtf8(), nullptr, graph.get()) < 0
            || avfilter_graph_create_filter(&b, avfilter_get_by_name("buffer"), "b", args.toUtf8(), nullptr, graph.get()) < 0
            || avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph.get()) < 0)
            return false;
        AVFilterInOut *outputs = avfilter_inout_alloc();
        AVFilterInOut *second = avfilter_inout_alloc();
        AVFilterInOut *inputs = avfilter_inout_alloc();
        outputs->name = av_strdup("a");
        outputs->filter_ctx = a;
        outputs->next = second;
        second->name = av_strdup("b");
        second->filter_ctx = b;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = sink;
        const int rc = avfilter_graph_parse_ptr(graph.get(), chain.toUtf8(), &inputs, &outputs, nullptr);
        avfilter_inout_free(&inputs);
        avfilter_inout_free(&outputs);
        return rc >= 0 && avfilter_graph_config(graph.get(), nullptr) >= 0;
    }

    bool run(AVFrame *fa, AVFrame *fb, int64_t pts)
    {
        Frame ca(av_frame_clone(fa)), cb(av_frame_clone(fb));
        ca->pts = cb->pts = pts;
        if (av_buffersrc_add_frame(a, ca.get()) < 0 || av_buffersrc_add_frame(b, cb.get()) < 0)
            return false;
        Frame out(av_frame_alloc());
        return av_buffersink_get_frame(sink, out.get()) >= 0;
    }
};

constexpr int kFrames = 150;

double timeOurs(const std::function<void()> &compose)
{
    compose(); // warm the scaler caches
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < kFrames; ++i)
        compose();
    return double(t.nsecsElapsed()) / 1e6 / kFrames;
}

double timeLavfi(Lavfi &graph, AVFrame *a, AVFrame *b)
{
    graph.run(a, b, 0);
    QElapsedTimer t;
    t.start();
    for (int i = 1; i <= kFrames; ++i)
        if (!graph.run(a, b, i))
            return -1;
    return double(t.nsecsElapsed()) / 1e6 / kFrames;
}

void report(const char *what, double ours, double ref)
{
    std::printf("%-34s ours %7.2f ms/frame   libavfilter %7.2f ms/frame   ratio %.2f (goal <= 1.00)\n", what, ours,
                ref, ours / ref);
}

void layout30(int w, int h)
{
    const QImage screenImg = pattern(w, h, 1), cameraImg = pattern(w, h, 2);
    const mf::MFFramePtr screen = mf::MFFactory::fromImage(screenImg);
    const mf::MFFramePtr camera = mf::MFFactory::fromImage(cameraImg);
    const QRectF inset = Mixer::insetRect(QSize(w, h), w, h);
    mf::MFFormat fmt;
    fmt.width = w;
    fmt.height = h;
    const double ours = timeOurs([&] {
        auto bg = mf::MFFactory::create(fmt, "solid_color='#07a0f2(255)'");
        bg->overlay(*screen, 0, 0, w, h, 1.0, "audio_gain=0");
        bg->overlay(*camera, inset.x(), inset.y(), inset.width(), inset.height(), 1.0, "audio_gain=-100");
    });
    Lavfi graph;
    const QString chain = QStringLiteral("color=c=0x07a0f2:s=%1x%2:r=25,format=bgra[bg];[bg][a]overlay=format=rgb:shortest=1[s];"
                                         "[b]scale=%3:%4:flags=bilinear[c];[s][c]overlay=%5:%6:format=rgb")
                              .arg(w).arg(h).arg(int(inset.width())).arg(int(inset.height()))
                              .arg(int(inset.x())).arg(qRound(inset.y()));
    if (!graph.build(w, h, chain)) {
        std::printf("libavfilter graph failed\n");
        return;
    }
    Frame a = toAvFrame(screenImg), b = toAvFrame(cameraImg);
    report(QStringLiteral("layout 30 at %1x%2").arg(w).arg(h).toUtf8().constData(), ours, timeLavfi(graph, a.get(), b.get()));
}

void twoFrames()
{
    const int w = 1920, h = 1080;
    const QImage screenImg = pattern(w, h, 3), cameraImg = pattern(w, h, 4);
    const mf::MFFramePtr screen = mf::MFFactory::fromImage(screenImg);
    const mf::MFFramePtr camera = mf::MFFactory::fromImage(cameraImg);
    mf::MFFormat fmt;
    fmt.width = 2 * w;
    fmt.height = h;
    const mf::MFFramePtr blank = mf::MFFactory::create(fmt, "solid_color='#ffffff(255)'");
    const double ours = timeOurs([&] {
        auto canvas = blank->copy();
        canvas->overlay(*camera, 0, 0, w, h, 1.0, "audio_gain=0");
        canvas->overlay(*screen, w, 0, w, h, 1.0, "audio_gain=0");
    });
    Lavfi graph;
    const QString chain = QStringLiteral("color=c=white:s=%1x%2:r=25,format=bgra[bg];[bg][b]overlay=0:0:format=rgb:shortest=1[l];"
                                         "[l][a]overlay=%3:0:format=rgb")
                              .arg(2 * w).arg(h).arg(w);
    if (!graph.build(w, h, chain)) {
        std::printf("libavfilter graph failed\n");
        return;
    }
    Frame a = toAvFrame(screenImg), b = toAvFrame(cameraImg);
    report("two-frames canvas 3840x1080", ours, timeLavfi(graph, a.get(), b.get()));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::printf("composition, %d frames each, one thread\n", kFrames);
    layout30(1280, 720);
    layout30(1920, 1080);
    twoFrames();
    return 0;
}
