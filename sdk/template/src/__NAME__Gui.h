// The GUI-side object: writes Input times Gain to Output whenever either
// changes. It keeps no pin value: each is asked of the host when needed.
#pragma once

#include "SEGUI_base.h"
#include "__NAME__Pins.h"

#include <cstdint>

class __NAME__Gui : public SEGUI_base {
public:
    __NAME__Gui(HostCallback callback, std::intptr_t host_value) : SEGUI_base(callback, host_value) {}

    void PinValueChanged(GuiPinRef& pin) override;
};
