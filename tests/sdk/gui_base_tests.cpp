// The GUI record, its dispatcher and the host calls of SEGUI_base.
#include "SEGUI_base.h"
#include "fake_host.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

namespace {

// Logs each virtual operation it receives, with its arguments.
class RecordingGui : public SEGUI_base {
public:
    RecordingGui(HostCallback callback, std::intptr_t host_value, std::vector<std::string>* log)
        : SEGUI_base(callback, host_value), m_log(log) {}
    ~RecordingGui() override { m_log->push_back("destroyed"); }

    void Open(bool flag) override { m_log->push_back(std::string("Open ") + (flag ? "true" : "false")); }
    void Close() override { m_log->push_back("Close"); }
    void ContextIndexEvent(std::int32_t index, void* ptr) override { Log("ContextIndexEvent", index, 0, ptr); }
    void PointEventA(void* ptr, float opt, GuiPoint point) override { LogPoint("PointEventA", ptr, opt, point); }
    void PointEventB(void* ptr, float opt, GuiPoint point) override { LogPoint("PointEventB", ptr, opt, point); }
    void PointEventC(void* ptr, float opt, GuiPoint point) override { LogPoint("PointEventC", ptr, opt, point); }
    void ContextEventA(void* ptr) override { Log("ContextEventA", 0, 0, ptr); }
    void ContextEventB(void* ptr) override { Log("ContextEventB", 0, 0, ptr); }
    bool Idle() override {
        m_log->push_back("Idle");
        return idle_answer;
    }
    void IndexEventA(std::int32_t index) override { Log("IndexEventA", index, 0, nullptr); }
    void IndexEventB(std::int32_t index) override { Log("IndexEventB", index, 0, nullptr); }
    void ContextValueEvent(std::int32_t value, std::int32_t index, void* ptr) override {
        Log("ContextValueEvent", value, index, ptr);
    }
    void PinValueChanged(GuiPinRef& pin) override {
        Log("PinValueChanged", pin.GetIndex(), 0, nullptr);
        changed_owner = pin.GetOwner();
    }

    bool idle_answer = true;
    SEGUI_base* changed_owner = nullptr;
    std::uint32_t last_opt_bits = 0;

private:
    void Log(const char* name, std::int32_t a, std::int32_t b, void* ptr) {
        m_log->push_back(std::string(name) + " " + std::to_string(a) + " " + std::to_string(b) + " " +
                         std::to_string(reinterpret_cast<std::uintptr_t>(ptr)));
    }
    void LogPoint(const char* name, void* ptr, float opt, GuiPoint point) {
        last_opt_bits = std::bit_cast<std::uint32_t>(opt);
        Log(name, point.x, point.y, ptr);
        point.x = -1;  // a copy: must not reach the dispatcher's caller
    }
    std::vector<std::string>* m_log;
};

// Calls the object the way a host does: through the record's dispatcher.
HostResult HostCalls(GuiPlugRecord* record, std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0,
                     void* ptr = nullptr, float opt = 0.0f) {
    return record->dispatcher(record, opcode, index, value, ptr, opt);
}

class GuiBaseTest : public ::testing::Test {
protected:
    void SetUp() override { fake_platform::Reset(); }
    FakeHost host;
    std::vector<std::string> log;
};

}  // namespace

TEST_F(GuiBaseTest, FreshRecordHoldsMagicVersionDispatcherHostValueObjectAndZeros) {
    RecordingGui gui(host.callback(), 0x1234567, &log);
    GuiPlugRecord* record = gui.GetPlugRecord();
    const auto* bytes = reinterpret_cast<const unsigned char*>(record);

    EXPECT_EQ(bytes[0], 0x4D);
    EXPECT_EQ(bytes[1], 0x50);
    EXPECT_EQ(bytes[2], 0x45);
    EXPECT_EQ(bytes[3], 0x53);
    EXPECT_EQ(record->version, 1);
    EXPECT_EQ(record->dispatcher, &GuiDispatchEntry);
    EXPECT_EQ(record->host_value, 0x1234567);
    EXPECT_EQ(record->object, static_cast<SEGUI_base*>(&gui));
    for (std::size_t offset = offsetof(GuiPlugRecord, reserved); offset < sizeof(GuiPlugRecord); ++offset)
        EXPECT_EQ(bytes[offset], 0) << "byte " << offset;
    EXPECT_TRUE(host.calls.empty()) << "construction makes no host call";
}

TEST_F(GuiBaseTest, EachOpcodeReachesItsOperationWithItsArguments) {
    RecordingGui gui(host.callback(), 0, &log);
    GuiPlugRecord* record = gui.GetPlugRecord();
    int marker = 0;
    void* ptr = &marker;
    const std::string p = std::to_string(reinterpret_cast<std::uintptr_t>(ptr));

    EXPECT_EQ(HostCalls(record, GUI_CONTEXT_INDEX, 4, 9, ptr), 0);
    EXPECT_EQ(HostCalls(record, GUI_POINT_A, 1, 2, ptr, 0.5f), 0);
    EXPECT_EQ(HostCalls(record, GUI_POINT_B, 10, 20, ptr, 0.25f), 0);
    EXPECT_EQ(HostCalls(record, GUI_POINT_C, -3, -4, ptr), 0);
    EXPECT_EQ(HostCalls(record, GUI_CONTEXT_VALUE, 3, 7, ptr), 0);
    EXPECT_EQ(HostCalls(record, GUI_PIN_CHANGED, 6, 99, ptr), 0);
    EXPECT_EQ(HostCalls(record, GUI_CONTEXT_A, 1, 1, ptr), 0);
    EXPECT_EQ(HostCalls(record, GUI_CONTEXT_B, 1, 1, ptr), 0);
    EXPECT_EQ(HostCalls(record, GUI_INDEX_A, 11, 1, ptr), 0);
    EXPECT_EQ(HostCalls(record, GUI_INDEX_B, -12, 1, ptr), 0);

    const std::vector<std::string> expected = {
        "ContextIndexEvent 4 0 " + p,  "PointEventA 1 2 " + p,   "PointEventB 10 20 " + p,
        "PointEventC -3 -4 " + p,      "ContextValueEvent 7 3 " + p, "PinValueChanged 6 0 0",
        "ContextEventA 0 0 " + p,      "ContextEventB 0 0 " + p, "IndexEventA 11 0 0",
        "IndexEventB -12 0 0"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(gui.changed_owner, &gui) << "the pin handle names the object that received the call";
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(GuiBaseTest, PinValueChangedGetsAHandleOfItsOwnThatGetPinDoesNotMove) {
    // A handler that asks for another pin, here of another object, before it
    // reads the pin it was given.
    class Asking : public SEGUI_base {
    public:
        Asking(HostCallback callback, SEGUI_base& other) : SEGUI_base(callback, 0), m_other(other) {}
        void PinValueChanged(GuiPinRef& pin) override {
            m_other.GetPin(9);
            index = pin.GetIndex();
            owner = pin.GetOwner();
        }
        std::int32_t index = -1;
        SEGUI_base* owner = nullptr;

    private:
        SEGUI_base& m_other;
    };
    SEGUI_base other(host.callback(), 0);
    Asking gui(host.callback(), other);
    EXPECT_EQ(HostCalls(gui.GetPlugRecord(), GUI_PIN_CHANGED, 3), 0);
    EXPECT_EQ(gui.index, 3);
    EXPECT_EQ(gui.owner, &gui);
}

TEST_F(GuiBaseTest, PointEventsGetTheHostsFloatBitsUnchanged) {
    RecordingGui gui(host.callback(), 0, &log);
    for (std::uint32_t bits : {0x3F800000u, 0x80000000u, 0x7FC00001u, 0x7F800001u, 0xFF800000u, 0x00000001u}) {
        HostCalls(gui.GetPlugRecord(), GUI_POINT_A, 0, 0, nullptr, std::bit_cast<float>(bits));
        EXPECT_EQ(gui.last_opt_bits, bits);
    }
}

TEST_F(GuiBaseTest, OpenFlagIsTrueOnlyForIndexOne) {
    RecordingGui gui(host.callback(), 0, &log);
    for (std::int32_t index : {1, 0, 2, -1, 257}) EXPECT_EQ(HostCalls(gui.GetPlugRecord(), GUI_OPEN, index, 1), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"Open true", "Open false", "Open false", "Open false", "Open false"}));
}

TEST_F(GuiBaseTest, OpcodesPastTheTableDoNothingAndAnswerZero) {
    RecordingGui gui(host.callback(), 0, &log);
    for (std::int32_t opcode : {13, 14, 1000, -1, INT32_MIN})
        EXPECT_EQ(HostCalls(gui.GetPlugRecord(), opcode, 1, 1, &gui, 1.0f), 0) << opcode;
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(GuiBaseTest, IdleAnswersOneOnlyWhenTheOperationSaysTrue) {
    SEGUI_base plain(host.callback(), 0);
    EXPECT_EQ(HostCalls(plain.GetPlugRecord(), GUI_IDLE), 0) << "the default Idle says false";

    RecordingGui gui(host.callback(), 0, &log);
    EXPECT_EQ(HostCalls(gui.GetPlugRecord(), GUI_IDLE), 1);
    gui.idle_answer = false;
    EXPECT_EQ(HostCalls(gui.GetPlugRecord(), GUI_IDLE), 0);
}

TEST_F(GuiBaseTest, CloseRunsCloseOnceThenDeletesTheObject) {
    auto* gui = new (std::nothrow) RecordingGui(host.callback(), 0, &log);
    ASSERT_NE(gui, nullptr);
    EXPECT_EQ(HostCalls(gui->GetPlugRecord(), GUI_CLOSE), 1);
    EXPECT_EQ(log, (std::vector<std::string>{"Close", "destroyed"}));
    EXPECT_TRUE(host.calls.empty()) << "the base destructor makes no host call";
}

TEST_F(GuiBaseTest, HostRequestsPlaceTheirArgumentsAndPassResultsBack) {
    SEGUI_base gui(host.callback(), 0);
    int marker = 0;
    host.answers[GUI_HOST_CONTEXT_REQUEST_A] = 41;
    host.answers[GUI_HOST_CONTEXT_REQUEST_B] = -42;

    gui.SendIndexedRequest(3, 4, &marker);
    EXPECT_EQ(gui.ContextRequestA(&marker), 41);
    EXPECT_EQ(gui.ContextRequestB(&marker), -42);

    ASSERT_EQ(host.calls.size(), 3u);
    for (const HostCall& call : host.calls) {
        EXPECT_EQ(call.record, gui.GetPlugRecord());
        EXPECT_EQ(call.ptr, &marker);
        EXPECT_EQ(call.OptBits(), 0u);
    }
    EXPECT_EQ(host.calls[0].opcode, GUI_HOST_INDEXED_REQUEST);
    EXPECT_EQ(host.calls[0].index, 3);
    EXPECT_EQ(host.calls[0].value, 4);
    EXPECT_EQ(host.calls[1].opcode, GUI_HOST_CONTEXT_REQUEST_A);
    EXPECT_EQ(host.calls[2].opcode, GUI_HOST_CONTEXT_REQUEST_B);
    EXPECT_EQ(host.calls[1].index, 0);
    EXPECT_EQ(host.calls[1].value, 0);
}

TEST_F(GuiBaseTest, ContextQueryIsFalseOnlyForZero) {
    SEGUI_base gui(host.callback(), 0);
    for (HostResult answer : {1, -1, 256}) {
        host.answers[GUI_HOST_CONTEXT_QUERY] = answer;
        EXPECT_TRUE(gui.ContextQuery(nullptr)) << answer;
    }
    host.answers[GUI_HOST_CONTEXT_QUERY] = 0;
    EXPECT_FALSE(gui.ContextQuery(nullptr));
}

TEST_F(GuiBaseTest, CallHostWithoutCallbackReportsAndMakesNoCall) {
    SEGUI_base gui(nullptr, 0);
    EXPECT_EQ(gui.ContextRequestA(nullptr), 0);
    EXPECT_FALSE(gui.ContextQuery(nullptr));
    gui.GetPin(2).SetValueFloat(1.0f);
    // A read the host never answered gives zero, not whatever the stack held.
    EXPECT_EQ(gui.GetPin(2).GetValueInt(), 0);
    EXPECT_EQ(gui.GetPin(2).GetValueFloat(), 0.0f);
    ASSERT_EQ(fake_platform::assertions.size(), 5u);
    for (const fake_platform::Assertion& report : fake_platform::assertions) {
        EXPECT_EQ(report.expression, "seaudioMaster");
        EXPECT_EQ(report.file, "SEGUI_base.cpp");
        EXPECT_EQ(report.line, 134);
    }
}
