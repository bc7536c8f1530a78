#include "__NAME__Gui.h"

void __NAME__Gui::PinValueChanged(GuiPinRef& pin) {
    // The host tells of the module's own write to Output too, from inside
    // the write: only the inputs lead to a new output.
    const std::int32_t index = pin.GetIndex();
    if (index != PIN_INPUT && index != PIN_GAIN) return;
    // Each value is read before the next GetPin, which re-aims the one
    // shared handle.
    const float input = GetPin(PIN_INPUT).GetValueFloat();
    const float gain = GetPin(PIN_GAIN).GetValueFloat();
    GetPin(PIN_OUTPUT).SetValueFloat(input * gain);
}
