// Rules of the host protocol that a module and a host must apply alike,
// header-only and on the host-visible types alone, so that both sides (the
// framework, a host, the fuzzers and the benchmarks) use the very same code.
#pragma once

#include "SEHostTypes.h"

#include <bit>
#include <cstdint>

// ---------------------------------------------------------------------------
// Sample clock order
// ---------------------------------------------------------------------------

// Whether sample clock `time` lies before `clock`, so that an event or a
// status due then would come too late.
//
// The protocol compares the two as plain unsigned numbers, and every time at
// or after the clock in that order is accepted here too, however far ahead.
// The 32-bit clock wraps (after 27 hours at 44.1 kHz), so a module that adds
// a delay to a clock near the top gets a small number: a time below the clock
// by half the clock's range or more (2^31 samples, 13.5 hours at 44.1 kHz)
// is such a time just past the wrap and lies in the future. Only a time less
// than that behind the clock is in the past.
//
// Every time then has one meaning for a given clock, and the forward distance
// of a time accepted here is `time - clock` taken modulo 2^32.
constexpr bool SampleClockBefore(std::uint32_t time, std::uint32_t clock) {
    return time < clock && clock - time < (std::uint32_t{1} << 31);
}

// ---------------------------------------------------------------------------
// Pin values and declarations
// ---------------------------------------------------------------------------

// A pin's value travels as 4 bytes: a signed 32-bit integer or the bits of a
// 32-bit float, as the pin's data type says (DT_FLOAT: a float).
constexpr float PinBitsAsFloat(std::uint32_t bits) { return std::bit_cast<float>(bits); }
constexpr std::uint32_t PinBitsOfFloat(float value) { return std::bit_cast<std::uint32_t>(value); }
constexpr std::int32_t PinBitsAsInt(std::uint32_t bits) { return static_cast<std::int32_t>(bits); }

// The patch-store rule: a stored value must survive an unstored patch, so
// only private pins, outputs and GUI-side pins may carry IO_PATCH_STORE.
constexpr bool KeepsPatchStoreRule(std::uint32_t flags, std::int32_t direction) {
    return (flags & IO_PATCH_STORE) == 0 || (flags & IO_PRIVATE) != 0 || direction == DR_OUT ||
           (flags & IO_UI_COMMUNICATION) != 0;
}

// ---------------------------------------------------------------------------
// Plug records
// ---------------------------------------------------------------------------

// The fields of a plug record a host relies on, as a host read them: from
// its own process, or from another's memory at any pointer width. A GUI
// record has no process or event_handler (they stay 0 and are not checked).
struct PlugRecordFields {
    std::uint32_t magic = 0;
    std::int32_t version = 0;
    std::int64_t host_value = 0;
    std::uint64_t object = 0;
    std::uint64_t dispatcher = 0;
    std::uint64_t process = 0;
    std::uint64_t event_handler = 0;
};

inline PlugRecordFields FieldsOf(const AudioPlugRecord& record) {
    return {record.magic,
            record.version,
            record.host_value,
            reinterpret_cast<std::uintptr_t>(record.object),
            reinterpret_cast<std::uintptr_t>(record.dispatcher),
            reinterpret_cast<std::uintptr_t>(record.process),
            reinterpret_cast<std::uintptr_t>(record.event_handler)};
}

inline PlugRecordFields FieldsOf(const GuiPlugRecord& record) {
    return {record.magic, record.version, record.host_value, reinterpret_cast<std::uintptr_t>(record.object),
            reinterpret_cast<std::uintptr_t>(record.dispatcher)};
}

// What is wrong with a record makeModule returned, first problem first.
enum class PlugRecordProblem {
    None,
    OtherSidesMagic,  // the other side's record
    WrongMagic,
    WrongVersion,
    ForeignHostValue,  // not the host_value makeModule was given
    NullObject,
    NullDispatcher,
    NullProcess,       // audio only
    NullEventHandler,  // audio only
};

constexpr PlugRecordProblem CheckPlugRecord(bool gui, const PlugRecordFields& fields, std::int64_t host_value) {
    if (fields.magic == (gui ? AUDIO_PLUG_MAGIC : GUI_PLUG_MAGIC)) return PlugRecordProblem::OtherSidesMagic;
    if (fields.magic != (gui ? GUI_PLUG_MAGIC : AUDIO_PLUG_MAGIC)) return PlugRecordProblem::WrongMagic;
    if (fields.version != (gui ? GUI_PLUG_VERSION : AUDIO_PLUG_VERSION)) return PlugRecordProblem::WrongVersion;
    if (fields.host_value != host_value) return PlugRecordProblem::ForeignHostValue;
    if (fields.object == 0) return PlugRecordProblem::NullObject;
    if (fields.dispatcher == 0) return PlugRecordProblem::NullDispatcher;
    if (gui) return PlugRecordProblem::None;
    if (fields.process == 0) return PlugRecordProblem::NullProcess;
    if (fields.event_handler == 0) return PlugRecordProblem::NullEventHandler;
    return PlugRecordProblem::None;
}

// ---------------------------------------------------------------------------
// Names of the protocol's codes; null for a code the protocol lacks
// ---------------------------------------------------------------------------

constexpr const char* AudioDispatchOpcodeName(std::int32_t opcode) {
    switch (opcode) {
    case AUDIO_OPEN: return "AUDIO_OPEN";
    case AUDIO_CLOSE: return "AUDIO_CLOSE";
    case AUDIO_SET_SAMPLE_RATE: return "AUDIO_SET_SAMPLE_RATE";
    case AUDIO_SET_BLOCK_SIZE: return "AUDIO_SET_BLOCK_SIZE";
    case AUDIO_GET_PIN_PROPERTIES: return "AUDIO_GET_PIN_PROPERTIES";
    case AUDIO_FORBIDDEN_A: return "AUDIO_FORBIDDEN_A";
    case AUDIO_NOTIFY: return "AUDIO_NOTIFY";
    case AUDIO_FORBIDDEN_B: return "AUDIO_FORBIDDEN_B";
    case AUDIO_REQUEST: return "AUDIO_REQUEST";
    case AUDIO_GET_PROCESS_RECORD: return "AUDIO_GET_PROCESS_RECORD";
    default: return nullptr;
    }
}

constexpr const char* GuiDispatchOpcodeName(std::int32_t opcode) {
    switch (opcode) {
    case GUI_OPEN: return "GUI_OPEN";
    case GUI_CLOSE: return "GUI_CLOSE";
    case GUI_CONTEXT_INDEX: return "GUI_CONTEXT_INDEX";
    case GUI_POINT_A: return "GUI_POINT_A";
    case GUI_POINT_B: return "GUI_POINT_B";
    case GUI_POINT_C: return "GUI_POINT_C";
    case GUI_CONTEXT_VALUE: return "GUI_CONTEXT_VALUE";
    case GUI_PIN_CHANGED: return "GUI_PIN_CHANGED";
    case GUI_CONTEXT_A: return "GUI_CONTEXT_A";
    case GUI_CONTEXT_B: return "GUI_CONTEXT_B";
    case GUI_IDLE: return "GUI_IDLE";
    case GUI_INDEX_A: return "GUI_INDEX_A";
    case GUI_INDEX_B: return "GUI_INDEX_B";
    default: return nullptr;
    }
}

constexpr const char* AudioCallbackOpcodeName(std::int32_t opcode) {
    switch (opcode) {
    case AUDIO_HOST_PIN_DATA: return "AUDIO_HOST_PIN_DATA";
    case AUDIO_HOST_QUERY_PIN: return "AUDIO_HOST_QUERY_PIN";
    case AUDIO_HOST_GET_SAMPLE_CLOCK: return "AUDIO_HOST_GET_SAMPLE_CLOCK";
    case AUDIO_HOST_SET_PIN_STATUS: return "AUDIO_HOST_SET_PIN_STATUS";
    case AUDIO_HOST_GET_PIN_BUFFER: return "AUDIO_HOST_GET_PIN_BUFFER";
    case AUDIO_HOST_GET_BLOCK_START: return "AUDIO_HOST_GET_BLOCK_START";
    case AUDIO_HOST_SLEEP: return "AUDIO_HOST_SLEEP";
    case AUDIO_HOST_GET_PIN_COUNT: return "AUDIO_HOST_GET_PIN_COUNT";
    case AUDIO_HOST_ADD_EVENT: return "AUDIO_HOST_ADD_EVENT";
    case AUDIO_HOST_PROCESS_CHANGED: return "AUDIO_HOST_PROCESS_CHANGED";
    default: return nullptr;
    }
}

constexpr const char* GuiCallbackOpcodeName(std::int32_t opcode) {
    switch (opcode) {
    case GUI_HOST_SET_PIN_TEXT: return "GUI_HOST_SET_PIN_TEXT";
    case GUI_HOST_GET_PIN_TEXT: return "GUI_HOST_GET_PIN_TEXT";
    case GUI_HOST_INDEXED_REQUEST: return "GUI_HOST_INDEXED_REQUEST";
    case GUI_HOST_GET_PIN_VALUE: return "GUI_HOST_GET_PIN_VALUE";
    case GUI_HOST_SET_PIN_VALUE: return "GUI_HOST_SET_PIN_VALUE";
    case GUI_HOST_GET_PIN_WIDE_TEXT: return "GUI_HOST_GET_PIN_WIDE_TEXT";
    case GUI_HOST_CONTEXT_REQUEST_A: return "GUI_HOST_CONTEXT_REQUEST_A";
    case GUI_HOST_CONTEXT_REQUEST_B: return "GUI_HOST_CONTEXT_REQUEST_B";
    case GUI_HOST_CONTEXT_QUERY: return "GUI_HOST_CONTEXT_QUERY";
    case GUI_HOST_SIGNAL: return "GUI_HOST_SIGNAL";
    default: return nullptr;
    }
}

// The data type codes the format defines are 0 to 8; those without a name
// (1, 2, 3 and 7) are valid types whose pins keep no value of their own.
constexpr bool IsDataType(std::int32_t datatype) { return datatype >= DT_SHORT && datatype <= DT_INT; }

constexpr const char* DataTypeName(std::int32_t datatype) {
    switch (datatype) {
    case DT_SHORT: return "DT_SHORT";
    case DT_BOOL: return "DT_BOOL";
    case DT_FSAMPLE: return "DT_FSAMPLE";
    case DT_FLOAT: return "DT_FLOAT";
    case DT_INT: return "DT_INT";
    default: return nullptr;
    }
}

// The pin flags by name, lowest bit first.
struct PinFlagName {
    std::uint32_t bit;
    const char* name;
};
inline constexpr PinFlagName kPinFlagNames[] = {
    {IO_REPEAT_LAST, "IO_REPEAT_LAST"}, {IO_PRIVATE, "IO_PRIVATE"},         {IO_UI_COMMUNICATION, "IO_UI_COMMUNICATION"},
    {IO_UI_AUDIO_PIN, "IO_UI_AUDIO_PIN"}, {IO_PATCH_STORE, "IO_PATCH_STORE"},
};
