#include "__NAME__Audio.h"

namespace {

struct PinDeclaration {
    const char* name;
    std::int32_t direction;
    std::int32_t datatype;
};

// Pins between the host and the GUI side: the host carries their values.
constexpr std::uint32_t kPinFlags = IO_UI_COMMUNICATION;

constexpr PinDeclaration kPins[PIN_COUNT] = {
    {"Input", DR_IN, DT_FLOAT},    // PIN_INPUT
    {"Gain", DR_IN, DT_FLOAT},     // PIN_GAIN
    {"Output", DR_OUT, DT_FLOAT},  // PIN_OUTPUT
};

}  // namespace

bool __NAME__Audio::GetPinProperties(std::int32_t index, SEPinProperties* properties) {
    // Unsigned, so that negative numbers are past the last pin too.
    if (static_cast<std::uint32_t>(index) >= static_cast<std::uint32_t>(PIN_COUNT)) return false;
    properties->name = kPins[index].name;
    properties->direction = kPins[index].direction;
    properties->datatype = kPins[index].datatype;
    properties->flags = kPinFlags;
    return true;
}

void __NAME__Audio::Open() {
    SetProcessFunction(static_cast<ProcessFunction>(&__NAME__Audio::SleepProcess));
    OpenPins<__NAME__Audio>();
}

void SE_CALL __NAME__Audio::SleepProcess() { CallHost(AUDIO_HOST_SLEEP); }
