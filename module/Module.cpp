#include "Module.h"

namespace {

struct PinDeclaration {
    const char* name;
    std::int32_t direction;
    std::int32_t datatype;
};

// Every pin is a GUI-communication pin: the host carries its value, so none
// names a module variable and none gets an audio-side pin object.
constexpr std::uint32_t kPinFlags = IO_UI_COMMUNICATION;

constexpr PinDeclaration kPins[PIN_COUNT] = {
    {"Mouse Down", DR_OUT, DT_BOOL},           // PIN_MOUSE_DOWN
    {"Reset Value", DR_IN, DT_FLOAT},          // PIN_RESET_VALUE
    {"Interval (ms)", DR_IN, DT_FLOAT},        // PIN_INTERVAL
    {"Animation Position", DR_OUT, DT_FLOAT},  // PIN_ANIMATION_POSITION
    {"Reset", DR_IN, DT_BOOL},                 // PIN_RESET
    {"Randomize", DR_IN, DT_BOOL},             // PIN_RANDOMIZE
    {"Random (min)", DR_IN, DT_FLOAT},         // PIN_RANDOM_MIN
    {"Random (max)", DR_IN, DT_FLOAT},         // PIN_RANDOM_MAX
};

}  // namespace

bool Module::GetPinProperties(std::int32_t index, SEPinProperties* properties) {
    // Unsigned, so that negative numbers are past the last pin too.
    if (static_cast<std::uint32_t>(index) >= static_cast<std::uint32_t>(PIN_COUNT)) return false;
    const PinDeclaration& pin = kPins[index];
    properties->name = pin.name;
    properties->direction = pin.direction;
    properties->datatype = pin.datatype;
    properties->flags = kPinFlags;
    return true;
}

SE_FLATTEN void Module::Open() {
    // The host is told of the new routine before the base asks for the pin count.
    SetProcessFunction(static_cast<ProcessFunction>(&Module::SleepProcess));
    // The base's Open, with each declaration asked of this class directly:
    // flattened, the walk over the constant table folds to nothing, as no
    // declaration gets an audio-side pin.
    OpenPins<Module>();
}

void SE_CALL Module::SleepProcess() { CallHost(AUDIO_HOST_SLEEP, 0, 0, nullptr, 0.0f); }
