// GUI pin access: values, texts and the shared GetPin handle.
#include "SEGUI_base.h"
#include "fake_host.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class GuiPinTest : public ::testing::Test {
protected:
    void SetUp() override { fake_platform::Reset(); }
    FakeHost host;
    SEGUI_base gui{host.callback(), 0};
};

}  // namespace

TEST_F(GuiPinTest, ValueReadsPassASlotAndReturnTheHostsBitsUnconverted) {
    host.SetPinFloat(2, 1.0f);
    EXPECT_EQ(gui.GetPin(2).GetValueFloat(), 1.0f);
    EXPECT_EQ(gui.GetPin(2).GetValueInt(), 1065353216) << "a float read as int is its bit pattern";
    host.SetPinInt(0, -7);
    EXPECT_EQ(gui.GetPin(0).GetValueInt(), -7);

    ASSERT_EQ(host.calls.size(), 3u);
    for (const HostCall& call : host.calls) {
        EXPECT_EQ(call.opcode, GUI_HOST_GET_PIN_VALUE);
        EXPECT_EQ(call.record, gui.GetPlugRecord());
        EXPECT_EQ(call.value, 0);
        EXPECT_NE(call.ptr, nullptr);
        EXPECT_EQ(call.OptBits(), 0u);
    }
    EXPECT_EQ(host.calls[0].index, 2);
    EXPECT_EQ(host.calls[2].index, 0);
}

TEST_F(GuiPinTest, ValueWritesFillBothValueAndOpt) {
    host.int_pins = {5};
    gui.GetPin(2).SetValueFloat(200.0f);
    gui.GetPin(5).SetValueInt(5);

    ASSERT_EQ(host.calls.size(), 2u);
    EXPECT_EQ(host.calls[0].opcode, GUI_HOST_SET_PIN_VALUE);
    EXPECT_EQ(host.calls[0].index, 2);
    EXPECT_EQ(host.calls[0].value, 0);
    EXPECT_EQ(host.calls[0].ptr, nullptr);
    EXPECT_EQ(host.calls[0].opt, 200.0f);
    EXPECT_EQ(host.calls[1].opcode, GUI_HOST_SET_PIN_VALUE);
    EXPECT_EQ(host.calls[1].index, 5);
    EXPECT_EQ(host.calls[1].value, 5);
    EXPECT_EQ(host.calls[1].OptBits(), 0u);
    EXPECT_EQ(host.PinFloat(2), 200.0f);
    EXPECT_EQ(host.PinInt(5), 5);
}

TEST_F(GuiPinTest, SetTextHandsTheStringsOwnTerminatedCharacters) {
    std::string seen;
    bool terminated = false;
    host.on_call = [&](const HostCall& call) {
        const char* text = static_cast<const char*>(call.ptr);
        ASSERT_NE(text, nullptr);
        seen = text;
        terminated = true;
    };
    const std::string empty;
    gui.GetPin(4).SetText(empty);
    EXPECT_TRUE(terminated) << "an empty text is a single zero byte, never a null address";
    EXPECT_EQ(seen, "");
    EXPECT_EQ(host.calls[0].ptr, empty.c_str());

    const std::string name = "Gr\xC3\xBC\xC3\x9F";
    gui.GetPin(4).SetText(name);
    EXPECT_EQ(seen, name);
    EXPECT_EQ(host.calls[1].opcode, GUI_HOST_SET_PIN_TEXT);
    EXPECT_EQ(host.calls[1].index, 4);
    EXPECT_EQ(host.calls[1].value, 0);
}

TEST_F(GuiPinTest, GetTextCopiesUpToTheFirstZeroAndTreatsNullAsEmpty) {
    char text[] = "Mouse\0Down";
    host.answers[GUI_HOST_GET_PIN_TEXT] = reinterpret_cast<HostResult>(text);
    const std::string copy = gui.GetPin(1).GetText();
    EXPECT_EQ(copy, "Mouse");
    text[0] = 'X';
    EXPECT_EQ(copy, "Mouse") << "the result is the caller's own copy";
    EXPECT_EQ(host.calls[0].opcode, GUI_HOST_GET_PIN_TEXT);
    EXPECT_EQ(host.calls[0].index, 1);
    EXPECT_EQ(host.calls[0].ptr, nullptr);

    host.answers[GUI_HOST_GET_PIN_TEXT] = 0;
    EXPECT_EQ(gui.GetPin(1).GetText(), "");
}

namespace {

// Answers the wide-text size on the first call and fills `units` (up to the
// size the module passes) on the second.
void ServeWideText(FakeHost& host, HostResult size, std::u16string units) {
    host.answers[GUI_HOST_GET_PIN_WIDE_TEXT] = size;
    host.on_call = [units](const HostCall& call) {
        if (call.opcode != GUI_HOST_GET_PIN_WIDE_TEXT || call.ptr == nullptr) return;
        const std::size_t count = std::min<std::size_t>(units.size(), static_cast<std::size_t>(call.value));
        std::memcpy(call.ptr, units.data(), count * sizeof(char16_t));
    };
}

}  // namespace

TEST_F(GuiPinTest, WideTextKeepsSixteenBitUnitsUnchanged) {
    const std::u16string text = {0x0041, 0x00E9, 0x20AC, 0xD83D, 0xDE00};
    ServeWideText(host, 6, text + char16_t(0));
    EXPECT_EQ(gui.GetPin(3).GetWideText(), text);

    ASSERT_EQ(host.calls.size(), 2u);
    EXPECT_EQ(host.calls[0].index, 3);
    EXPECT_EQ(host.calls[0].value, 0);
    EXPECT_EQ(host.calls[0].ptr, nullptr);
    EXPECT_EQ(host.calls[1].index, 3);
    EXPECT_EQ(host.calls[1].value, 6);
    EXPECT_NE(host.calls[1].ptr, nullptr);
}

TEST_F(GuiPinTest, WideTextStopsAtAZeroUnitOrAtTheSizeGiven) {
    ServeWideText(host, 6, u"ab\0cd");
    EXPECT_EQ(gui.GetPin(3).GetWideText(), u"ab");

    // No terminating unit: the text ends where the host's size ends.
    ServeWideText(host, 3, u"xyzw");
    EXPECT_EQ(gui.GetPin(3).GetWideText(), u"xyz");
}

TEST_F(GuiPinTest, WideTextOfSizeBelowOneIsEmptyWithoutASecondCall) {
    for (HostResult size : {0, -1, -100000}) {
        host.calls.clear();
        ServeWideText(host, size, u"never");
        EXPECT_EQ(gui.GetPin(3).GetWideText(), u"");
        EXPECT_EQ(host.calls.size(), 1u) << size;
    }
}

TEST_F(GuiPinTest, GetPinReturnsOneHandleSharedByAllObjects) {
    SEGUI_base other(host.callback(), 0);
    GuiPinRef& first = gui.GetPin(2);
    GuiPinRef& second = gui.GetPin(3);
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(first.GetIndex(), 3);
    EXPECT_EQ(first.GetOwner(), &gui);

    other.GetPin(2);
    EXPECT_EQ(first.GetIndex(), 2);
    EXPECT_EQ(first.GetOwner(), &other);
    first.SetValueFloat(0.5f);
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0].record, other.GetPlugRecord()) << "the handle reaches the pin through its owner";
    EXPECT_TRUE(host.calls.size() == 1) << "GetPin itself makes no host call";
}
