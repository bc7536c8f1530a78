// Audio-side pins: where a bound pin keeps its value, and each request it
// carries to the host through its module.
#include "SEModule_base.h"
#include "SEPin.h"
#include "fake_host.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class StatusModule : public SEModule_base {
public:
    explicit StatusModule(HostCallback callback) : SEModule_base(callback, 0) {}
    void OnPinStatusChange(SEPin* pin) override { seen.push_back(pin->GetStatus()); }
    std::vector<std::int32_t> seen;
};

class AudioPin : public ::testing::Test {
protected:
    void SetUp() override { fake_platform::Reset(); }

    std::vector<std::string> Reports() const {
        std::vector<std::string> result;
        for (const auto& a : fake_platform::assertions)
            result.push_back(a.file + ":" + std::to_string(a.line) + " " + a.expression);
        return result;
    }

    FakeHost host;
    StatusModule module{host.callback()};
    SEPin pin;
};

TEST_F(AudioPin, InitKeepsTheValueInTheModuleVariableOrItsOwnStorage) {
    std::int32_t variable = 0;
    for (std::int32_t type : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}) {
        SCOPED_TRACE(type);
        host.calls.clear();
        pin.Init(&module, 3, type, &variable);
        EXPECT_EQ(pin.GetVariable(), &variable);
        EXPECT_TRUE(host.calls.empty());
    }

    for (std::int32_t type : {DT_SHORT, DT_BOOL, DT_FLOAT, DT_INT}) {
        SCOPED_TRACE(type);
        SEPin own;
        own.Init(&module, 1, type, nullptr);
        ASSERT_NE(own.GetVariable(), nullptr);
        std::int32_t stored;
        std::memcpy(&stored, own.GetVariable(), sizeof stored);
        EXPECT_EQ(stored, 0);
        EXPECT_EQ(own.GetModule(), &module);
        EXPECT_EQ(own.GetIndex(), 1);
        EXPECT_EQ(own.GetDataType(), type);
        EXPECT_EQ(own.GetStatus(), 0);
    }
    EXPECT_TRUE(host.calls.empty());

    for (std::int32_t type : {1, 2, 3, 7, 9, -1}) {
        pin.Init(&module, 1, type, nullptr);
        EXPECT_EQ(pin.GetVariable(), nullptr) << type;
    }
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(AudioPin, SamplePinWithoutVariableAsksForItsBufferOnce) {
    float buffer[2] = {};
    host.answers[AUDIO_HOST_GET_PIN_BUFFER] = reinterpret_cast<HostResult>(buffer);
    pin.Init(&module, 6, DT_FSAMPLE, nullptr);
    ASSERT_EQ(host.calls.size(), 1u);
    const HostCall& call = host.calls[0];
    EXPECT_EQ(call.record, module.GetPlugRecord());
    EXPECT_EQ(call.opcode, AUDIO_HOST_GET_PIN_BUFFER);
    EXPECT_EQ(call.index, 6);
    EXPECT_EQ(call.value, 0);
    EXPECT_EQ(call.ptr, nullptr);
    EXPECT_EQ(call.OptBits(), 0u);
    EXPECT_EQ(*static_cast<float**>(pin.GetVariable()), buffer);
}

TEST_F(AudioPin, OneOffStatusIsSeenThenCleared) {
    pin.Init(&module, 0, DT_INT, nullptr);
    pin.StatusFromHost(PS_ONCE);
    EXPECT_EQ(pin.GetStatus(), 0);
    pin.StatusFromHost(2);
    EXPECT_EQ(pin.GetStatus(), 2);
    EXPECT_EQ(module.seen, (std::vector<std::int32_t>{1, 2}));
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(AudioPin, TransmitStatusSendsNowOrLaterButNeverThePast) {
    pin.Init(&module, 4, DT_INT, nullptr);
    host.sample_clock = 500;
    host.answers[AUDIO_HOST_SET_PIN_STATUS] = 9;
    EXPECT_EQ(pin.TransmitStatus(500, 3), 9);
    std::vector<HostCall> sent = host.CallsWith(AUDIO_HOST_SET_PIN_STATUS);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].index, 4);
    EXPECT_EQ(sent[0].value, 3);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(sent[0].ptr), 500u);
    EXPECT_EQ(sent[0].OptBits(), 0u);

    // Unsigned: 0x80000000 lies ahead of 500, and so does 0x800001F5, more than 2^31 ahead.
    EXPECT_EQ(pin.TransmitStatus(0x80000000u, 1), 9);
    EXPECT_EQ(pin.TransmitStatus(0x800001F5u, 1), 9);
    sent = host.CallsWith(AUDIO_HOST_SET_PIN_STATUS);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(sent[1].ptr), 0x80000000u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(sent[2].ptr), 0x800001F5u);
    EXPECT_TRUE(Reports().empty());

    host.calls.clear();
    EXPECT_EQ(pin.TransmitStatus(499, 3), 0);
    EXPECT_EQ(Reports(), (std::vector<std::string>{"SEPin.cpp:77 sampleclock >= m_module->SampleClock()"}));
    EXPECT_TRUE(host.CallsWith(AUDIO_HOST_SET_PIN_STATUS).empty());
}

TEST_F(AudioPin, QueryAndPinDataCarryThePinIndex) {
    pin.Init(&module, 2, DT_INT, nullptr);
    for (HostResult answer : {0, 1, -1, 256}) {
        host.answers[AUDIO_HOST_QUERY_PIN] = answer;
        EXPECT_EQ(pin.QueryPin(), answer != 0) << answer;
    }
    for (const HostCall& call : host.calls) {
        EXPECT_EQ(call.index, 2);
        EXPECT_EQ(call.value, 0);
        EXPECT_EQ(call.ptr, nullptr);
    }

    int data = 0;
    host.answers[AUDIO_HOST_PIN_DATA] = -7;
    EXPECT_EQ(pin.SendPinData(&data, 12), -7);
    const HostCall& call = host.calls.back();
    EXPECT_EQ(call.opcode, AUDIO_HOST_PIN_DATA);
    EXPECT_EQ(call.index, 2);
    EXPECT_EQ(call.value, 12);
    EXPECT_EQ(call.ptr, &data);
    EXPECT_EQ(call.OptBits(), 0u);
}

TEST_F(AudioPin, CurrentSampleReadsTheBufferAtTheClockSinceBlockStart) {
    float buffer[8] = {10, 11, 12, 13, 14, 15, 16, 17};
    host.answers[AUDIO_HOST_GET_PIN_BUFFER] = reinterpret_cast<HostResult>(buffer);
    host.answers[AUDIO_HOST_GET_BLOCK_START] = 1000;
    pin.Init(&module, 5, DT_FSAMPLE, nullptr);
    host.calls.clear();
    host.sample_clock = 1005;
    EXPECT_EQ(pin.CurrentSample(), 15.0f);
    EXPECT_EQ(host.Opcodes(),
              (std::vector<std::int32_t>{AUDIO_HOST_GET_BLOCK_START, AUDIO_HOST_GET_SAMPLE_CLOCK}));
    EXPECT_EQ(host.calls[0].index, 5);
    host.sample_clock = 1000;
    EXPECT_EQ(pin.CurrentSample(), 10.0f);

    // With a module variable the pin reads the buffer the variable names.
    float other[2] = {-1, -2};
    float* variable = other;
    SEPin through_variable;
    through_variable.Init(&module, 1, DT_FSAMPLE, &variable);
    host.sample_clock = 1001;
    EXPECT_EQ(through_variable.CurrentSample(), -2.0f);
    EXPECT_TRUE(Reports().empty());

    // Reads stop at the block size, 1024 until the host sets it.
    std::vector<float> block(2048);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<float>(i);
    float* long_buffer = block.data();
    SEPin long_block;
    long_block.Init(&module, 2, DT_FSAMPLE, &long_buffer);
    host.sample_clock = 1000 + 1023;
    EXPECT_EQ(long_block.CurrentSample(), 1023.0f);
    host.sample_clock = 1000 + 1024;
    EXPECT_EQ(long_block.CurrentSample(), 0.0f);
    module.GetPlugRecord()->dispatcher(module.GetPlugRecord(), AUDIO_SET_BLOCK_SIZE, 0, 2048, nullptr, 0.0f);
    EXPECT_EQ(long_block.CurrentSample(), 1024.0f);
    host.sample_clock = 1000 + 2048;
    EXPECT_EQ(long_block.CurrentSample(), 0.0f);
    host.sample_clock = 999;  // before the block
    EXPECT_EQ(long_block.CurrentSample(), 0.0f);

    SEPin float_pin;
    float_pin.Init(&module, 0, DT_FLOAT, nullptr);
    host.calls.clear();
    EXPECT_EQ(float_pin.CurrentSample(), 0.0f);
    EXPECT_EQ(Reports(), (std::vector<std::string>{"SEPin.cpp:125 m_datatype == DT_FSAMPLE"}));
    EXPECT_TRUE(host.calls.empty());  // no buffer is read
}

}  // namespace
