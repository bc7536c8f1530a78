// Each operation through the module beside its floor (see bench_support.h).
// `./quill bench` prints the table of ns per operation and the ratios.
#include "bench_support.h"

#include <benchmark/benchmark.h>

namespace {

void BM_MouseDown(benchmark::State& state) {
    bench::ResetHost();
    GuiPlugRecord* gui = bench::MakeGui();
    for (auto _ : state) bench::MouseDown(gui);
    bench::CloseGui(gui);
}

void BM_MouseDown_floor(benchmark::State& state) {
    bench::ResetHost();
    bench::FloorGui gui;
    bench::FloorInit(gui);
    for (auto _ : state) {
        bench::FloorMouseDown(gui);
        benchmark::DoNotOptimize(gui);
    }
}

void BM_DoubleClick(benchmark::State& state) {
    bench::ResetHost();
    GuiPlugRecord* gui = bench::MakeGui();
    for (auto _ : state) bench::DoubleClick(gui);
    bench::CloseGui(gui);
}

void BM_DoubleClick_floor(benchmark::State& state) {
    bench::ResetHost();
    bench::FloorGui gui;
    bench::FloorInit(gui);
    for (auto _ : state) {
        bench::FloorDoubleClick(gui);
        benchmark::DoNotOptimize(gui);
    }
}

void BM_Process(benchmark::State& state) {
    bench::ResetHost();
    AudioPlugRecord* audio = bench::MakeOpenAudio();
    for (auto _ : state) bench::Process(audio);
    bench::CloseAudio(audio);
}

void BM_Process_floor(benchmark::State& state) {
    bench::ResetHost();
    AudioPlugRecord record{};
    record.magic = AUDIO_PLUG_MAGIC;
    for (auto _ : state) {
        bench::FloorProcess(&record);
        benchmark::ClobberMemory();
    }
}

void BM_GuiLifeCycle(benchmark::State& state) {
    bench::ResetHost();
    for (auto _ : state) bench::GuiLifeCycle();
}

void BM_GuiLifeCycle_floor(benchmark::State& state) {
    bench::ResetHost();
    for (auto _ : state) {
        bench::FloorGuiLifeCycle();
        benchmark::ClobberMemory();
    }
}

void BM_AudioLifeCycle(benchmark::State& state) {
    bench::ResetHost();
    for (auto _ : state) bench::AudioLifeCycle();
}

void BM_AudioLifeCycle_floor(benchmark::State& state) {
    bench::ResetHost();
    for (auto _ : state) {
        bench::FloorAudioLifeCycle();
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(BM_MouseDown);
BENCHMARK(BM_MouseDown_floor);
BENCHMARK(BM_DoubleClick);
BENCHMARK(BM_DoubleClick_floor);
BENCHMARK(BM_Process);
BENCHMARK(BM_Process_floor);
BENCHMARK(BM_GuiLifeCycle);
BENCHMARK(BM_GuiLifeCycle_floor);
BENCHMARK(BM_AudioLifeCycle);
BENCHMARK(BM_AudioLifeCycle_floor);

BENCHMARK_MAIN();
