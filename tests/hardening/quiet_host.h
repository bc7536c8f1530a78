// A host for counting tests: it holds the module's eight pin values in a
// fixed array, answers from fixed fields and counts what it is asked, so
// that nothing it does allocates. One is current at a time.
#pragma once

#include "SEHostTypes.h"

#include <cstdint>

class QuietHost {
public:
    QuietHost();
    ~QuietHost();
    QuietHost(const QuietHost&) = delete;
    QuietHost& operator=(const QuietHost&) = delete;

    static HostResult SE_CALL Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                       void* ptr, float opt);

    void SetFloat(std::int32_t pin, float value);
    void SetInt(std::int32_t pin, std::int32_t value);
    float Float(std::int32_t pin) const;

    std::uint32_t pins[8] = {};       // 4 bytes per pin; 0, 4 and 5 hold integers
    std::int32_t pin_count = 8;       // answer to AUDIO_HOST_GET_PIN_COUNT
    std::uint32_t sample_clock = 0;   // answer to AUDIO_HOST_GET_SAMPLE_CLOCK
    std::int32_t wide_text_units = 0; // size answered to GUI_HOST_GET_PIN_WIDE_TEXT; no text is written
    long calls = 0;
    long pin_writes = 0;
    long sleeps = 0;
    // Called after a pin write is taken, before the host answers: may
    // deliver a nested notification.
    void (*after_write)(void* record, std::int32_t pin) = nullptr;

private:
    HostResult Handle(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                      float opt);
    QuietHost* m_previous;
};
