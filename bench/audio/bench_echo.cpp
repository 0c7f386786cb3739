// The echo cancellers side by side on the same speech: the specialist's
// voice plays through the speaker and comes back into the microphone late,
// with a room's decay and some noise, while the user talks.
//
//   bench_audio_echo SPECIALIST USER
//
// Both files: mono 16-bit samples at 44100 Hz (bench/audio/run.sh speaks
// them). The call: the specialist alone, then the user alone, then both,
// then the specialist alone again. Printed per canceller:
// - echo return loss enhancement while the specialist talks alone, after the
//   first seconds the filters need to converge, and again after double talk;
//   then, once the filters had time, on two harder ways back to the
//   microphone: a reverberant room, and a small speaker played too loud;
// - the user's voice in the output relative to his voice as recorded, alone
//   and in double talk: the part of the output a short filter of his clean
//   voice explains, so residual echo and noise do not count as voice;
// - processing time on the thread's CPU clock per second of sound;
// - the delay the processing adds, from the cross-correlation of output and
//   input while only the user talks.
#include "media/engine/EchoCanceller.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

namespace {

using Kind = mf::EchoCanceller::Kind;
using Signal = std::vector<float>;

constexpr int kRate = 44100;
constexpr int kFrame = kRate / 100;
// What the sound server would report, and what the way to the microphone
// adds unannounced (a loopback, a remote speaker).
constexpr int kHintMs = 40;
constexpr int kUnannouncedMs = 150;
constexpr double kEchoGainDb = -6;
constexpr double kNoiseDbfs = -60;
constexpr double kSpecialistDbfs = -18;
constexpr double kUserDbfs = -24;

// The call's stretches, in seconds.
struct Stretch
{
    double from, to;
};
constexpr Stretch kSpecialistAlone{0, 20};
constexpr Stretch kConverged{5, 20};
// Where the harder echo paths are measured: how deep the cancellation goes
// once the filters had time to learn them.
constexpr Stretch kSettled{10, 20};
constexpr Stretch kUserAlone{20, 30};
constexpr Stretch kBoth{30, 42};
constexpr Stretch kSpecialistAgain{42, 52};
constexpr double kCallSeconds = 52;

size_t at(double seconds) { return size_t(seconds * kRate); }

Signal readVoice(const char *path)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    Signal voice(bytes.size() / 2);
    for (size_t i = 0; i < voice.size(); ++i)
        voice[i] = float(int16_t(uint8_t(bytes[2 * i]) | (uint8_t(bytes[2 * i + 1]) << 8))) / 32768.f;
    return voice;
}

double power(const Signal &signal, size_t from, size_t to)
{
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += double(signal[i]) * signal[i];
    return sum / double(std::max<size_t>(1, to - from));
}

double dB(double ratio) { return 10 * std::log10(std::max(ratio, 1e-30)); }

// The voice scaled to a level while it speaks (its loudest half of 50 ms
// blocks), laid over the stretches given, running on through the recording.
Signal place(const Signal &voice, double dbfs, std::initializer_list<Stretch> stretches)
{
    std::vector<double> blocks;
    const size_t block = kRate / 20;
    for (size_t i = 0; i + block <= voice.size(); i += block)
        blocks.push_back(power(voice, i, i + block));
    std::sort(blocks.begin(), blocks.end());
    double active = 0;
    for (size_t i = blocks.size() / 2; i < blocks.size(); ++i)
        active += blocks[i] / double(blocks.size() - blocks.size() / 2);
    const float scale = float(std::pow(10, dbfs / 20) / std::sqrt(std::max(active, 1e-12)));
    Signal placed(at(kCallSeconds), 0.f);
    size_t read = 0;
    for (const Stretch &s : stretches)
        for (size_t i = at(s.from); i < at(s.to); ++i, ++read)
            placed[i] = voice[read % voice.size()] * scale;
    return placed;
}

// The way from the speaker to the microphone: a direct sound, then
// reflections dying away; -6 dB in all.
struct EchoPath
{
    const char *name;
    double spanMs;  // of the reflections
    double decayMs; // their amplitude's time constant
    int reflections;
    bool overdriven; // a small speaker played too loud flattens the peaks
};
constexpr EchoPath kRoom{"room", 80, 25, 60, false};
constexpr EchoPath kReverberant{"reverberant room", 300, 60, 200, false};
constexpr EchoPath kOverdriven{"overdriven speaker", 80, 25, 60, true};

std::vector<std::pair<size_t, double>> reflections(const EchoPath &path)
{
    std::mt19937 random(11);
    std::uniform_real_distribution<double> uniform(0, 1);
    std::vector<std::pair<size_t, double>> taps{{0, 1.0}};
    for (int i = 0; i < path.reflections; ++i) {
        const double ms = 2 + (path.spanMs - 2) * uniform(random);
        const double sign = uniform(random) < 0.5 ? -1 : 1;
        taps.push_back({size_t(ms * kRate / 1000), sign * 0.5 * std::exp(-ms / path.decayMs)});
    }
    double energy = 0;
    for (const auto &tap : taps)
        energy += tap.second * tap.second;
    for (auto &tap : taps)
        tap.second *= std::pow(10, kEchoGainDb / 20) / std::sqrt(energy);
    return taps;
}

Signal echoOf(const Signal &played, const EchoPath &path)
{
    Signal speaker = played;
    if (path.overdriven)
        for (float &sample : speaker)
            sample = std::tanh(2 * sample) / 2;
    const size_t late = size_t((kHintMs + kUnannouncedMs) * kRate / 1000);
    Signal echo(played.size(), 0.f);
    for (const auto &tap : reflections(path))
        for (size_t i = late + tap.first; i < echo.size(); ++i)
            echo[i] += float(tap.second) * speaker[i - late - tap.first];
    return echo;
}

Signal noise(size_t length)
{
    std::mt19937 random(5);
    std::normal_distribution<float> gauss(0.f, float(std::pow(10, kNoiseDbfs / 20)));
    Signal noise(length);
    for (float &sample : noise)
        sample = gauss(random);
    return noise;
}

std::vector<int16_t> stereo(const Signal &mono, size_t from)
{
    std::vector<int16_t> frame(kFrame * 2);
    for (int i = 0; i < kFrame; ++i) {
        const float sample = std::clamp(std::nearbyint(mono[from + size_t(i)] * 32768.f), -32768.f, 32767.f);
        frame[size_t(2 * i)] = frame[size_t(2 * i + 1)] = int16_t(sample);
    }
    return frame;
}

double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct Run
{
    Signal output;
    double cpuSeconds = 0;
};

// A canceller as the benchmark runs it: its library, and whether its noise
// suppression runs too (the libraries' suppressors differ in the delay
// they add).
struct Setup
{
    Kind kind;
    bool noiseSuppression;
    const char *name;
};

Run cancel(const Setup &setup, const Signal &played, const Signal &recorded)
{
    const mf::MFAudioFormat format{2, kRate, 16};
    auto canceller = mf::EchoCanceller::create(setup.kind, format, format);
    canceller->setNoiseSuppression(setup.noiseSuppression);
    Run run;
    run.output.resize(recorded.size());
    for (size_t from = 0; from + kFrame <= recorded.size(); from += kFrame) {
        const std::vector<int16_t> far = stereo(played, from);
        std::vector<int16_t> near = stereo(recorded, from);
        const double start = threadSeconds();
        canceller->playFrame(far.data());
        canceller->captureFrame(near.data(), kHintMs);
        run.cpuSeconds += threadSeconds() - start;
        for (int i = 0; i < kFrame; ++i)
            run.output[from + size_t(i)] = float(near[size_t(2 * i)]) / 32768.f;
    }
    return run;
}

// The lag (0 to 50 ms) at which the output looks most like the input.
int addedDelay(const Signal &output, const Signal &input, Stretch s)
{
    int best = 0;
    double bestScore = -1e30;
    for (int lag = 0; lag <= kRate / 20; ++lag) {
        double score = 0;
        for (size_t i = at(s.from); i < at(s.to); ++i)
            score += double(output[i + size_t(lag)]) * input[i];
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

constexpr int kFitTaps = 5;
using Taps = std::array<double, kFitTaps>;

// The clean voice around sample i, for tap k of the fit.
double voiceAt(const Signal &voice, size_t i, int k)
{
    return voice[i + size_t(kFitTaps / 2) - size_t(k)];
}

// Gaussian elimination of the normal equations, each row ending in its
// right-hand side.
Taps solve(std::array<std::array<double, kFitTaps + 1>, kFitTaps> system)
{
    for (int p = 0; p < kFitTaps; ++p)
        for (int r = p + 1; r < kFitTaps; ++r) {
            const double f = system[r][p] / system[p][p];
            for (int c = p; c <= kFitTaps; ++c)
                system[r][c] -= f * system[p][c];
        }
    Taps weights{};
    for (int r = kFitTaps - 1; r >= 0; --r) {
        double sum = system[r][kFitTaps];
        for (int c = r + 1; c < kFitTaps; ++c)
            sum -= system[r][c] * weights[c];
        weights[r] = sum / system[r][r];
    }
    return weights;
}

// The short filter of the clean voice that comes closest to the output.
Taps fitVoice(const Signal &output, const Signal &voice, int lag, size_t from, size_t to)
{
    std::array<std::array<double, kFitTaps + 1>, kFitTaps> system{};
    for (size_t i = from; i < to; ++i)
        for (int r = 0; r < kFitTaps; ++r) {
            for (int c = 0; c < kFitTaps; ++c)
                system[r][c] += voiceAt(voice, i, r) * voiceAt(voice, i, c);
            system[r][kFitTaps] += voiceAt(voice, i, r) * output[i + size_t(lag)];
        }
    return solve(system);
}

// How loud the part of the output is that the clean voice explains,
// relative to that voice.
double voiceLevel(const Signal &output, const Signal &voice, int lag, Stretch s)
{
    const size_t from = at(s.from), to = at(s.to);
    const Taps weights = fitVoice(output, voice, lag, from, to);
    double explained = 0;
    for (size_t i = from; i < to; ++i) {
        double fit = 0;
        for (int k = 0; k < kFitTaps; ++k)
            fit += weights[size_t(k)] * voiceAt(voice, i, k);
        explained += fit * fit;
    }
    return dB(explained / double(to - from) / power(voice, from, to));
}

struct Figures
{
    double erle = 0, erleAgain = 0, erleReverberant = 0, erleOverdriven = 0;
    double userAlone = 0, userBoth = 0, cpuPercent = 0, delayMs = 0;
};

// The call as the microphone records it through one echo path.
struct Call
{
    Signal played, user, recorded;

    Call(const Signal &specialistVoice, const Signal &userVoice, const EchoPath &path)
        : played(place(specialistVoice, kSpecialistDbfs, {kSpecialistAlone, kBoth, kSpecialistAgain})),
          user(place(userVoice, kUserDbfs, {kUserAlone, kBoth}))
    {
        const Signal echo = echoOf(played, path), hiss = noise(played.size());
        recorded.resize(played.size());
        for (size_t i = 0; i < recorded.size(); ++i)
            recorded[i] = user[i] + echo[i] + hiss[i];
    }
};

double erle(const Signal &recorded, const Signal &output, Stretch s)
{
    return dB(power(recorded, at(s.from), at(s.to)) / power(output, at(s.from), at(s.to)));
}

// Everything but the harder echo paths' figures, on the room's.
void measureRoom(const Setup &setup, const Call &call, Figures &f)
{
    const Run run = cancel(setup, call.played, call.recorded);
    f.erle = erle(call.recorded, run.output, kConverged);
    f.erleAgain = erle(call.recorded, run.output, kSpecialistAgain);
    const Stretch userAlone{kUserAlone.from, kUserAlone.to - 0.1};
    const int lag = addedDelay(run.output, call.recorded, userAlone);
    f.delayMs = 1000.0 * lag / kRate;
    f.userAlone = voiceLevel(run.output, call.user, lag, userAlone);
    f.userBoth = voiceLevel(run.output, call.user, lag, {kBoth.from, kBoth.to - 0.1});
    f.cpuPercent = 100 * run.cpuSeconds / kCallSeconds;
}

// The cancellers' work does not depend on the sound: of the runs' times the
// least is the one the rest of the machine disturbed least.
double settledErle(const Setup &setup, const Call &call, double &cpuPercent)
{
    const Run run = cancel(setup, call.played, call.recorded);
    cpuPercent = std::min(cpuPercent, 100 * run.cpuSeconds / kCallSeconds);
    return erle(call.recorded, run.output, kSettled);
}

void printRow(const char *label, const std::vector<Figures> &all, double Figures::*field, const char *target)
{
    std::printf("%-32s", label);
    for (const Figures &f : all)
        std::printf("%9.1f", f.*field);
    std::printf("   %s\n", target);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SPECIALIST.s16 USER.s16 (mono, 44100 Hz)\n", argv[0]);
        return 2;
    }
    const Signal specialist = readVoice(argv[1]), userVoice = readVoice(argv[2]);
    if (specialist.size() < size_t(kRate) || userVoice.size() < size_t(kRate)) {
        std::fprintf(stderr, "bench_audio_echo: the voices are missing or shorter than a second\n");
        return 1;
    }
    const Call room(specialist, userVoice, kRoom), reverberant(specialist, userVoice, kReverberant),
        overdriven(specialist, userVoice, kOverdriven);
    // The last column: the shipped library with its noise suppressor off,
    // which shows what that suppressor costs in delay.
    const std::vector<Setup> setups{{Kind::Off, true, "off"},
                                    {Kind::Speex, true, "speex"},
                                    {Kind::WebRtc, true, "webrtc"},
                                    {Kind::WebRtc, false, "w/o NS"}};
    std::vector<Figures> all(setups.size());
    for (size_t k = 0; k < setups.size(); ++k) {
        measureRoom(setups[k], room, all[k]);
        all[k].erleReverberant = settledErle(setups[k], reverberant, all[k].cpuPercent);
        all[k].erleOverdriven = settledErle(setups[k], overdriven, all[k].cpuPercent);
    }

    std::printf("Echo cancellers on %.0f s of speech, 44100 Hz stereo. The echo comes %d ms late (%d ms beyond "
                "the sound server's latency), at %.0f dB; noise at %.0f dBFS.\n",
                kCallSeconds, kHintMs + kUnannouncedMs, kUnannouncedMs, kEchoGainDb, kNoiseDbfs);
    std::printf("%-32s", "");
    for (const Setup &setup : setups)
        std::printf("%9s", setup.name);
    std::printf("   target\n");
    printRow("ERLE, specialist alone (dB)", all, &Figures::erle, ">= 25 (80 ms of reflections)");
    printRow("ERLE, after double talk (dB)", all, &Figures::erleAgain, ">= 25");
    printRow("ERLE, reverberant room (dB)", all, &Figures::erleReverberant, "(300 ms of reflections; 10-20 s)");
    printRow("ERLE, overdriven speaker (dB)", all, &Figures::erleOverdriven, "(peaks flattened; 10-20 s)");
    printRow("user alone (dB)", all, &Figures::userAlone, "within 3");
    printRow("user in double talk (dB)", all, &Figures::userBoth, "within 6");
    printRow("CPU (% of one core)", all, &Figures::cpuPercent, "<= 2");
    printRow("added delay (ms)", all, &Figures::delayMs, "<= 10");
    std::printf("shipped: %s\n", mf::EchoCanceller::name(mf::EchoCanceller::shipped()));
    return 0;
}
