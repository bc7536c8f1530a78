#include "__NAME__Audio.h"

bool __NAME__Audio::GetPinProperties(std::int32_t index, SEPinProperties* properties) {
    switch (index) {
    case PIN_IN:
        properties->name = "In";
        properties->direction = DR_IN;
        properties->datatype = DT_FSAMPLE;
        properties->variable_ptr = &m_in;
        return true;
    case PIN_GAIN:
        properties->name = "Gain";
        properties->direction = DR_IN;
        properties->datatype = DT_FLOAT;
        properties->variable_ptr = &m_gain;
        return true;
    case PIN_OUT:
        properties->name = "Out";
        properties->direction = DR_OUT;
        properties->datatype = DT_FSAMPLE;
        properties->variable_ptr = &m_out;
        return true;
    default:
        return false;
    }
}

void __NAME__Audio::Open() {
    OpenPins<__NAME__Audio>();
    // The host writes every variable before the open.
    m_gain_in_use = m_gain;
    SetProcessFunction(static_cast<ProcessFunction>(&__NAME__Audio::Process));
}

void __NAME__Audio::OnPinStatusChange(SEPin* pin) {
    if (pin->GetIndex() == PIN_GAIN) m_gain_in_use = m_gain;
}

void SE_CALL __NAME__Audio::Process() {
    const std::int32_t length = BlockSize();
    const float gain = m_gain_in_use;
    bool silent = true;
    for (std::int32_t i = 0; i < length; ++i) {
        const float sample = m_in[i];
        silent = silent && sample == 0.0f;
        m_out[i] = sample * gain;
    }
    // Silence in, silence out: nothing to do until the input moves or a pin
    // changes.
    if (silent) CallHost(AUDIO_HOST_SLEEP);
}
