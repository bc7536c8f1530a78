// What the benchmarks and the instruction counts share: a host that answers
// from a fixed pin array, a platform whose clock is a plain counter, the
// operations measured (through the module's records), and their floors.
//
// A floor is a plain function that makes the same host callbacks, platform
// calls and allocations, in the same order and with the same arguments, as
// the module does for that operation, with no framework in between: no
// dispatcher, no virtual call, no pin handle. The ratio of an operation to
// its floor is what the framework costs.
#pragma once

#include "SEHostTypes.h"

#include <cstdint>

namespace bench {

// The host: pin values as the module's GUI side reads them (mouse down,
// reset value 0.5, interval 200 ms, range 0 to 1) and a pin count of 8.
HostResult SE_CALL Answer(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                void* ptr, float opt);
void ResetHost();
std::int64_t HostCalls();
// The callback handed to the module and used by the floors; set by ResetHost.
extern ::HostCallback host_callback;

// The platform's tick clock; operations move it as a user's clicks would.
extern std::int32_t clock_ticks;

// Through the module: the entry point, the records and their dispatchers.
GuiPlugRecord* MakeGui();
void CloseGui(GuiPlugRecord* record);
// A mouse-down notification that is a single click: 1 s after the last.
void MouseDown(GuiPlugRecord* record);
// A double click: a single click, then a second press 50 ms later, which
// writes "Reset Value" to "Animation Position".
void DoubleClick(GuiPlugRecord* record);
AudioPlugRecord* MakeOpenAudio();
void CloseAudio(AudioPlugRecord* record);
// One run of the processing routine through the record's `process` field.
void Process(AudioPlugRecord* record);
// makeModule, open (with defaults for the GUI), close.
void GuiLifeCycle();
void AudioLifeCycle();

// The floors.
struct FloorGui {
    GuiPlugRecord record;
    std::int32_t event_clock = 0;
    std::int32_t click_clock = 0;
    std::int32_t click_count = 0;
    std::int32_t event_count = 0;
};
void FloorInit(FloorGui& gui);
void FloorMouseDown(FloorGui& gui);
void FloorDoubleClick(FloorGui& gui);
void FloorProcess(AudioPlugRecord* record);
void FloorGuiLifeCycle();
void FloorAudioLifeCycle();

}  // namespace bench
