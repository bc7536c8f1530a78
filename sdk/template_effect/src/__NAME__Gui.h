// The GUI-side object: a gain has nothing to draw or compute on the GUI
// side; the host carries Gain's value to the audio side.
#pragma once

#include "SEGUI_base.h"
#include "__NAME__Pins.h"

#include <cstdint>

class __NAME__Gui : public SEGUI_base {
public:
    __NAME__Gui(HostCallback callback, std::intptr_t host_value) : SEGUI_base(callback, host_value) {}
};
