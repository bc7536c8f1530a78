#include "protocol_names.h"

#include <cstdio>

namespace protocol_names {

namespace {

struct Name {
    std::int32_t code;
    const char* name;
};

const Name kAudioDispatch[] = {
    {AUDIO_OPEN, "AUDIO_OPEN"},
    {AUDIO_CLOSE, "AUDIO_CLOSE"},
    {AUDIO_SET_SAMPLE_RATE, "AUDIO_SET_SAMPLE_RATE"},
    {AUDIO_SET_BLOCK_SIZE, "AUDIO_SET_BLOCK_SIZE"},
    {AUDIO_GET_PIN_PROPERTIES, "AUDIO_GET_PIN_PROPERTIES"},
    {AUDIO_NOTIFY, "AUDIO_NOTIFY"},
    {AUDIO_REQUEST, "AUDIO_REQUEST"},
    {AUDIO_GET_PROCESS_RECORD, "AUDIO_GET_PROCESS_RECORD"},
};

const Name kGuiDispatch[] = {
    {GUI_OPEN, "GUI_OPEN"},
    {GUI_CLOSE, "GUI_CLOSE"},
    {GUI_CONTEXT_INDEX, "GUI_CONTEXT_INDEX"},
    {GUI_POINT_A, "GUI_POINT_A"},
    {GUI_POINT_B, "GUI_POINT_B"},
    {GUI_POINT_C, "GUI_POINT_C"},
    {GUI_CONTEXT_VALUE, "GUI_CONTEXT_VALUE"},
    {GUI_PIN_CHANGED, "GUI_PIN_CHANGED"},
    {GUI_CONTEXT_A, "GUI_CONTEXT_A"},
    {GUI_CONTEXT_B, "GUI_CONTEXT_B"},
    {GUI_IDLE, "GUI_IDLE"},
    {GUI_INDEX_A, "GUI_INDEX_A"},
    {GUI_INDEX_B, "GUI_INDEX_B"},
};

const Name kAudioCallback[] = {
    {AUDIO_HOST_PIN_DATA, "AUDIO_HOST_PIN_DATA"},
    {AUDIO_HOST_QUERY_PIN, "AUDIO_HOST_QUERY_PIN"},
    {AUDIO_HOST_GET_SAMPLE_CLOCK, "AUDIO_HOST_GET_SAMPLE_CLOCK"},
    {AUDIO_HOST_SET_PIN_STATUS, "AUDIO_HOST_SET_PIN_STATUS"},
    {AUDIO_HOST_GET_PIN_BUFFER, "AUDIO_HOST_GET_PIN_BUFFER"},
    {AUDIO_HOST_GET_BLOCK_START, "AUDIO_HOST_GET_BLOCK_START"},
    {AUDIO_HOST_SLEEP, "AUDIO_HOST_SLEEP"},
    {AUDIO_HOST_GET_PIN_COUNT, "AUDIO_HOST_GET_PIN_COUNT"},
    {AUDIO_HOST_ADD_EVENT, "AUDIO_HOST_ADD_EVENT"},
    {AUDIO_HOST_PROCESS_CHANGED, "AUDIO_HOST_PROCESS_CHANGED"},
};

const Name kGuiCallback[] = {
    {GUI_HOST_SET_PIN_TEXT, "GUI_HOST_SET_PIN_TEXT"},
    {GUI_HOST_GET_PIN_TEXT, "GUI_HOST_GET_PIN_TEXT"},
    {GUI_HOST_INDEXED_REQUEST, "GUI_HOST_INDEXED_REQUEST"},
    {GUI_HOST_GET_PIN_VALUE, "GUI_HOST_GET_PIN_VALUE"},
    {GUI_HOST_SET_PIN_VALUE, "GUI_HOST_SET_PIN_VALUE"},
    {GUI_HOST_GET_PIN_WIDE_TEXT, "GUI_HOST_GET_PIN_WIDE_TEXT"},
    {GUI_HOST_CONTEXT_REQUEST_A, "GUI_HOST_CONTEXT_REQUEST_A"},
    {GUI_HOST_CONTEXT_REQUEST_B, "GUI_HOST_CONTEXT_REQUEST_B"},
    {GUI_HOST_CONTEXT_QUERY, "GUI_HOST_CONTEXT_QUERY"},
    {GUI_HOST_SIGNAL, "GUI_HOST_SIGNAL"},
};

// Data type codes the format defines. Codes without a name here (1, 2, 3, 7)
// are valid types whose pins keep no value of their own.
const Name kDataTypes[] = {
    {DT_SHORT, "DT_SHORT"}, {1, "type 1"},        {2, "type 2"},
    {3, "type 3"},          {DT_BOOL, "DT_BOOL"}, {DT_FSAMPLE, "DT_FSAMPLE"},
    {DT_FLOAT, "DT_FLOAT"}, {7, "type 7"},        {DT_INT, "DT_INT"},
};

struct FlagName {
    std::uint32_t bit;
    const char* name;
};

const FlagName kPinFlags[] = {
    {IO_REPEAT_LAST, "IO_REPEAT_LAST"},           {IO_PRIVATE, "IO_PRIVATE"},
    {IO_UI_COMMUNICATION, "IO_UI_COMMUNICATION"}, {IO_UI_AUDIO_PIN, "IO_UI_AUDIO_PIN"},
    {IO_PATCH_STORE, "IO_PATCH_STORE"},
};

template <std::size_t N>
const char* Find(const Name (&table)[N], std::int32_t code) {
    for (const Name& entry : table)
        if (entry.code == code) return entry.name;
    return nullptr;
}

std::string NameOr(const char* name, const char* kind, std::int32_t code) {
    if (name != nullptr) return name;
    return std::string(kind) + " " + std::to_string(code);
}

}  // namespace

std::string AudioDispatchOpcode(std::int32_t opcode) {
    return NameOr(Find(kAudioDispatch, opcode), "opcode", opcode);
}
std::string GuiDispatchOpcode(std::int32_t opcode) {
    return NameOr(Find(kGuiDispatch, opcode), "opcode", opcode);
}
std::string AudioCallbackOpcode(std::int32_t opcode) {
    return NameOr(Find(kAudioCallback, opcode), "opcode", opcode);
}
std::string GuiCallbackOpcode(std::int32_t opcode) {
    return NameOr(Find(kGuiCallback, opcode), "opcode", opcode);
}
bool IsKnownAudioCallback(std::int32_t opcode) { return Find(kAudioCallback, opcode) != nullptr; }
bool IsKnownGuiCallback(std::int32_t opcode) { return Find(kGuiCallback, opcode) != nullptr; }

std::string DataType(std::int32_t datatype) { return NameOr(Find(kDataTypes, datatype), "type", datatype); }
bool IsKnownDataType(std::int32_t datatype) { return Find(kDataTypes, datatype) != nullptr; }

std::string Direction(std::int32_t direction) {
    if (direction == DR_IN) return "in";
    if (direction == DR_OUT) return "out";
    return "direction " + std::to_string(direction);
}

std::string PinFlags(std::uint32_t flags) {
    std::string text;
    std::uint32_t rest = flags;
    for (const FlagName& flag : kPinFlags) {
        if ((flags & flag.bit) == 0) continue;
        if (!text.empty()) text += " | ";
        text += flag.name;
        rest &= ~flag.bit;
    }
    if (rest != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(rest));
        if (!text.empty()) text += " | ";
        text += hex;
    }
    return text.empty() ? "none" : text;
}

}  // namespace protocol_names
