// The GUI side keeps every default of SEGUI_base; its hooks (PinValueChanged,
// Idle and the others) are where a panel's work would go.
#include "__NAME__Gui.h"
