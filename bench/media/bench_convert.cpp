// The colour conversion of a picture into the encoders' 4:2:0 frame, three
// ways, on the same pictures: the hand-written SSE2 converter the engine used
// until it took libyuv (kept here only as the reference), libyuv as the
// engine calls it now (mf::Yuv420Converter), and libswscale as the writer's
// general path would. Prints milliseconds per picture and the ratios.
#include "media/engine/FFmpegHandles.h"
#include "media/engine/Yuv420Converter.h"

#include <QCoreApplication>
#include <QImage>
#include <QRandomGenerator>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

extern "C" {
#include <libswscale/swscale.h>
}

namespace {


// libswscale's coefficients: 15 fractional bits, luma to 16..235 and
// chroma to 16..240.
constexpr int kYuvShift = 15;
constexpr int yuvCoefficient(double v) { return int(v * (1 << kYuvShift) + (v < 0 ? -0.5 : 0.5)); }
constexpr int kRY = yuvCoefficient(0.299 * 219 / 255), kGY = yuvCoefficient(0.587 * 219 / 255),
              kBY = yuvCoefficient(0.114 * 219 / 255);
constexpr int kRU = yuvCoefficient(-0.169 * 224 / 255), kGU = yuvCoefficient(-0.331 * 224 / 255),
              kBU = yuvCoefficient(0.500 * 224 / 255);
constexpr int kRV = yuvCoefficient(0.500 * 224 / 255), kGV = yuvCoefficient(-0.419 * 224 / 255),
              kBV = yuvCoefficient(-0.081 * 224 / 255);
// Luma rounds one pixel; chroma the sum of four, two bits more.
constexpr int kLumaRound = (16 << kYuvShift) + (1 << (kYuvShift - 1));
constexpr int kChromaRound = (128 << (kYuvShift + 2)) + (1 << (kYuvShift + 1));

// Pixels are B, G, R, A bytes in memory (RGB32 on a little-endian machine).
inline uint8_t lumaOf(const uint8_t *p)
{
    return uint8_t((kRY * p[2] + kGY * p[1] + kBY * p[0] + kLumaRound) >> kYuvShift);
}

// Two picture rows into two luma rows and one row of each chroma plane.
void convertRowPairPlain(const uint8_t *top, const uint8_t *bottom, uint8_t *y0, uint8_t *y1, uint8_t *u,
                         uint8_t *v, int width)
{
    for (int x = 0; x < width; x += 2) {
        const uint8_t *a = top + 4 * x, *b = bottom + 4 * x;
        y0[x] = lumaOf(a);
        y0[x + 1] = lumaOf(a + 4);
        y1[x] = lumaOf(b);
        y1[x + 1] = lumaOf(b + 4);
        const int B = a[0] + a[4] + b[0] + b[4], G = a[1] + a[5] + b[1] + b[5], R = a[2] + a[6] + b[2] + b[6];
        u[x / 2] = uint8_t((kRU * R + kGU * G + kBU * B + kChromaRound) >> (kYuvShift + 2));
        v[x / 2] = uint8_t((kRV * R + kGV * G + kBV * B + kChromaRound) >> (kYuvShift + 2));
    }
}

#if defined(__SSE2__)

// [a0 + a1, a2 + a3, b0 + b1, b2 + b3] of 32-bit lanes.
inline __m128i sumLanePairs(__m128i a, __m128i b)
{
    const __m128 fa = _mm_castsi128_ps(a), fb = _mm_castsi128_ps(b);
    const __m128i even = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm_add_epi32(even, odd);
}

// Luma of four pixels (16 bytes), as 32-bit lanes.
inline __m128i luma4(const uint8_t *p, __m128i coefficients)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi8(pixels, zero), coefficients);
    const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi8(pixels, zero), coefficients);
    return _mm_srai_epi32(_mm_add_epi32(sumLanePairs(lo, hi), _mm_set1_epi32(kLumaRound)), kYuvShift);
}

inline __m128i luma16(const uint8_t *p, __m128i coefficients)
{
    const __m128i a = _mm_packs_epi32(luma4(p, coefficients), luma4(p + 16, coefficients));
    const __m128i b = _mm_packs_epi32(luma4(p + 32, coefficients), luma4(p + 48, coefficients));
    return _mm_packus_epi16(a, b);
}

// B, G, R, A summed over the two 2x2 blocks of four pixels of two rows (16 bits each).
inline __m128i blockSums(const uint8_t *top, const uint8_t *bottom)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(top));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bottom));
    const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
    const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
    return _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
}

inline __m128i chroma4(__m128i first, __m128i second, __m128i coefficients)
{
    const __m128i sums = sumLanePairs(_mm_madd_epi16(first, coefficients), _mm_madd_epi16(second, coefficients));
    return _mm_srai_epi32(_mm_add_epi32(sums, _mm_set1_epi32(kChromaRound)), kYuvShift + 2);
}

// Eight chroma values (low 8 bytes) from the block sums of 16 columns.
inline __m128i chroma8(const __m128i blocks[4], __m128i coefficients)
{
    const __m128i a = chroma4(blocks[0], blocks[1], coefficients);
    const __m128i b = chroma4(blocks[2], blocks[3], coefficients);
    return _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_setzero_si128());
}

// 16 columns at a time, the rest as above; the same values to the bit.
void convertRowPair(const uint8_t *top, const uint8_t *bottom, uint8_t *y0, uint8_t *y1, uint8_t *u, uint8_t *v,
                    int width)
{
    const __m128i luma = _mm_setr_epi16(kBY, kGY, kRY, 0, kBY, kGY, kRY, 0);
    const __m128i blue = _mm_setr_epi16(kBU, kGU, kRU, 0, kBU, kGU, kRU, 0);
    const __m128i red = _mm_setr_epi16(kBV, kGV, kRV, 0, kBV, kGV, kRV, 0);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const uint8_t *a = top + 4 * x, *b = bottom + 4 * x;
        _mm_storeu_si128(reinterpret_cast<__m128i *>(y0 + x), luma16(a, luma));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(y1 + x), luma16(b, luma));
        const __m128i blocks[4] = {blockSums(a, b), blockSums(a + 16, b + 16), blockSums(a + 32, b + 32),
                                   blockSums(a + 48, b + 48)};
        _mm_storel_epi64(reinterpret_cast<__m128i *>(u + x / 2), chroma8(blocks, blue));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(v + x / 2), chroma8(blocks, red));
    }
    if (x < width)
        convertRowPairPlain(top + 4 * x, bottom + 4 * x, y0 + x, y1 + x, u + x / 2, v + x / 2, width - x);
}

#else

void convertRowPair(const uint8_t *top, const uint8_t *bottom, uint8_t *y0, uint8_t *y1, uint8_t *u, uint8_t *v,
                    int width)
{
    convertRowPairPlain(top, bottom, y0, y1, u, v, width);
}

#endif


// The reference: the former engine's conversion of a whole picture.
void handWritten(const QImage &picture, AVFrame *frame)
{
    for (int y = 0; y < picture.height(); y += 2) {
        convertRowPair(picture.constScanLine(y), picture.constScanLine(y + 1), frame->data[0] + y * frame->linesize[0],
                       frame->data[0] + (y + 1) * frame->linesize[0], frame->data[1] + y / 2 * frame->linesize[1],
                       frame->data[2] + y / 2 * frame->linesize[2], picture.width());
    }
}

constexpr int kPictures = 200;
constexpr int kRounds = 3;

double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Milliseconds of processor time per picture, the best of a few rounds.
double perPicture(const std::function<void()> &convert)
{
    double best = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        const double start = threadSeconds();
        for (int i = 0; i < kPictures; ++i)
            convert();
        best = std::min(best, (threadSeconds() - start) * 1000 / kPictures);
    }
    return best;
}

QImage noisyPicture(int width, int height)
{
    QImage picture(width, height, QImage::Format_RGB32);
    QRandomGenerator random(3);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(picture.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qRgb(x * 255 / width, y * 255 / height, int(random.bounded(256)));
    }
    return picture;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::printf("RGB32 to 4:2:0 of the same size, ms of processor time per picture (best of %d rounds of %d)\n",
                kRounds, kPictures);
    std::printf("%-10s %12s %8s %10s %22s\n", "size", "hand-written", "libyuv", "libswscale",
                "libyuv / hand, / sws");
    for (const auto &[width, height] : {std::pair{1280, 720}, std::pair{1920, 1080}, std::pair{3840, 2160}}) {
        const QImage picture = noisyPicture(width, height);
        const mf::AVFramePtr frame = mf::makeFrame();
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = width;
        frame->height = height;
        if (av_frame_get_buffer(frame.get(), 0) < 0)
            return 1;
        const mf::SwsContextPtr scaler(sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height,
                                                      AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
        const uint8_t *src[1] = {picture.constBits()};
        const int stride[1] = {int(picture.bytesPerLine())};
        const double hand = perPicture([&] { handWritten(picture, frame.get()); });
        const double yuv = perPicture([&] { mf::Yuv420Converter::convert(picture, frame.get()); });
        const double sws =
            perPicture([&] { sws_scale(scaler.get(), src, stride, 0, height, frame->data, frame->linesize); });
        std::printf("%4dx%-5d %12.3f %8.3f %10.3f %11.2f %10.2f\n", width, height, hand, yuv, sws, yuv / hand,
                    yuv / sws);
    }
    return 0;
}
