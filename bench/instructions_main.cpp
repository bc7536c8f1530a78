// Runs one operation a given number of times inside quill_measure, for
// callgrind: `valgrind --tool=callgrind --toggle-collect=quill_measure
// quill_instructions mouse_down 1000` counts the instructions of exactly
// those operations, setup excluded.
#include "bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bench::FloorGui g_floor;
AudioPlugRecord g_floor_audio;
GuiPlugRecord* g_gui = nullptr;
AudioPlugRecord* g_audio = nullptr;

struct Operation {
    const char* name;
    void (*run)();
};

const Operation kOperations[] = {
    {"mouse_down", [] { bench::MouseDown(g_gui); }},
    {"mouse_down_floor", [] { bench::FloorMouseDown(g_floor); }},
    {"double_click", [] { bench::DoubleClick(g_gui); }},
    {"double_click_floor", [] { bench::FloorDoubleClick(g_floor); }},
    {"process", [] { bench::Process(g_audio); }},
    {"process_floor", [] { bench::FloorProcess(&g_floor_audio); }},
};

}  // namespace

// What callgrind counts: `count` runs of one operation and the loop around them.
extern "C" __attribute__((noinline)) void quill_measure(void (*run)(), int count) {
    for (int i = 0; i < count; ++i) run();
}

int main(int argc, char** argv) {
    const Operation* operation = nullptr;
    for (const Operation& candidate : kOperations)
        if (argc == 3 && std::strcmp(argv[1], candidate.name) == 0) operation = &candidate;
    if (operation == nullptr) {
        std::fprintf(stderr, "usage: quill_instructions OPERATION COUNT\noperations:");
        for (const Operation& candidate : kOperations) std::fprintf(stderr, " %s", candidate.name);
        std::fprintf(stderr, "\n");
        return 2;
    }
    bench::ResetHost();
    g_gui = bench::MakeGui();
    g_audio = bench::MakeOpenAudio();
    bench::FloorInit(g_floor);
    g_floor_audio.magic = AUDIO_PLUG_MAGIC;
    operation->run();  // once first, so that the count is of the steady state
    const std::int64_t calls_before = bench::HostCalls();
    const int count = std::atoi(argv[2]);
    quill_measure(operation->run, count);
    std::printf("%s: %d runs, %lld host calls\n", operation->name, count,
                static_cast<long long>(bench::HostCalls() - calls_before));
    bench::CloseGui(g_gui);
    bench::CloseAudio(g_audio);
    return 0;
}
