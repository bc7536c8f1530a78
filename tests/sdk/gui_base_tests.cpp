#include "SEGUI_base.h"
#include "fake_host.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

TEST(GuiBase, Placeholder) {
    FakeHost host;
    SEGUI_base gui(host.callback(), 7);
    EXPECT_EQ(gui.GetPlugRecord()->magic, GUI_PLUG_MAGIC);
}
