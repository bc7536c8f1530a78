// How fast `semhost render` runs the audio fixture (Out = In × Gain, at a
// gain of 0.5): seconds of 48 kHz audio rendered per second of wall time,
// for its i386 build in the emulator and its native build in a process of
// its own, in the same run, and the ratio of the two.
//
//   quill_render_throughput [SECONDS]
//
// The input is SECONDS (default 60) of a 1 kHz sine, 16-bit WAV; the
// output is written as the input is. Each render runs 3 times; the median
// counts. Exits 1 when a render fails.
#include "commands/audio_file.h"
#include "commands/semhost.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

constexpr int kRate = 48000;

bool WriteSine(const std::string& path, double seconds) {
    const auto frames = static_cast<std::size_t>(seconds * kRate);
    std::vector<float> samples(frames);
    for (std::size_t i = 0; i < frames; ++i)
        samples[i] = static_cast<float>(0.8 * std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / kRate));
    std::string problem;
    auto writer = AudioFileWriter::Create(path, {AudioContainer::Wav, SampleEncoding::Pcm16}, kRate, 1, problem);
    if (writer == nullptr || !writer->Write(samples.data(), frames, problem) || !writer->Finish(problem)) {
        std::fprintf(stderr, "quill_render_throughput: %s: %s\n", path.c_str(), problem.c_str());
        return false;
    }
    return true;
}

// The median wall time of 3 renders, in seconds; negative when one failed.
double RenderSeconds(const std::string& module, const std::string& input, const std::string& output) {
    std::vector<double> times;
    for (int run = 0; run < 3; ++run) {
        std::ostringstream out;
        std::ostringstream err;
        const auto start = std::chrono::steady_clock::now();
        const int code = RunSemhost({"render", module, "--in", "In=" + input, "--out", "Out=" + output, "--set",
                                     "Gain=0.5"},
                                    out, err);
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (code != 0) {
            std::fprintf(stderr, "quill_render_throughput: %s: exit %d\n%s", module.c_str(), code, err.str().c_str());
            return -1;
        }
    }
    std::sort(times.begin(), times.end());
    return times[1];
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: quill_render_throughput [SECONDS]\n");
        return 2;
    }
    const std::string folder = QUILL_BENCH_SCRATCH_DIR;
    const std::string input = folder + "/render_throughput_sine.wav";
    if (!WriteSine(input, seconds)) return 1;
    struct Build {
        const char* what;
        std::string module;
        double wall = 0;
    } builds[] = {{"i386, emulated", QUILL_I386_AUDIO_FIXTURE},
                  {"native, in its own process", QUILL_NATIVE_AUDIO_FIXTURE}};
    std::printf("    %-28s %9s %9s %13s\n", "audio fixture", "audio s", "wall s", "x real time");
    for (Build& build : builds) {
        build.wall = RenderSeconds(build.module, input, folder + "/render_throughput_out.wav");
        if (build.wall < 0) return 1;
        std::printf("    %-28s %9.1f %9.2f %13.1f\n", build.what, seconds, build.wall, seconds / build.wall);
    }
    std::printf("    emulated / native: %.1fx the time (goal: within 10x); emulated: %.1fx real time (goal: 100x)\n",
                builds[0].wall / builds[1].wall, seconds / builds[0].wall);
    std::filesystem::remove(input);
    std::filesystem::remove(folder + "/render_throughput_out.wav");
    return 0;
}
