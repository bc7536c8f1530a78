// The audio-side object: its pin table, Open and its sleeping routine.
#include "Module.h"
#include "fake_host.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

std::uintptr_t FunctionWord(ProcessFunction routine) {
    MemberFunctionWords words;
    std::memcpy(&words, &routine, sizeof words);
    return words.function;
}

std::uintptr_t SleepProcessAddress() {
    return FunctionWord(static_cast<ProcessFunction>(&Module::SleepProcess));
}

SEPinProperties PatternFilled() {
    SEPinProperties properties;
    std::memset(&properties, 0xA5, sizeof properties);
    return properties;
}

}  // namespace

TEST(ModulePins, EachPinIsDeclaredWithItsFourFieldsOnly) {
    struct Row {
        const char* name;
        std::int32_t direction;
        std::int32_t datatype;
    };
    const Row rows[PIN_COUNT] = {
        {"Mouse Down", DR_OUT, DT_BOOL},    {"Reset Value", DR_IN, DT_FLOAT},
        {"Interval (ms)", DR_IN, DT_FLOAT}, {"Animation Position", DR_OUT, DT_FLOAT},
        {"Reset", DR_IN, DT_BOOL},          {"Randomize", DR_IN, DT_BOOL},
        {"Random (min)", DR_IN, DT_FLOAT},  {"Random (max)", DR_IN, DT_FLOAT},
    };
    FakeHost host;
    Module module(host.callback(), 0);
    const SEPinProperties pattern = PatternFilled();
    for (std::int32_t index = 0; index < PIN_COUNT; ++index) {
        SEPinProperties properties = PatternFilled();
        ASSERT_TRUE(module.GetPinProperties(index, &properties)) << index;
        EXPECT_STREQ(properties.name, rows[index].name) << index;
        EXPECT_EQ(properties.direction, rows[index].direction) << rows[index].name;
        EXPECT_EQ(properties.datatype, rows[index].datatype) << rows[index].name;
        EXPECT_EQ(properties.flags, IO_UI_COMMUNICATION) << rows[index].name;
        EXPECT_EQ(std::memcmp(&properties.variable_ptr, &pattern.variable_ptr, sizeof pattern.variable_ptr),
                  0);
        EXPECT_EQ(std::memcmp(properties.reserved_c, pattern.reserved_c, sizeof pattern.reserved_c), 0);
        EXPECT_EQ(properties.reserved_d, pattern.reserved_d);
    }
    EXPECT_TRUE(host.calls.empty()) << "declarations make no host call";
}

TEST(ModulePins, IndicesPastTheTableLeaveTheRecordUntouched) {
    FakeHost host;
    Module module(host.callback(), 0);
    const SEPinProperties pattern = PatternFilled();
    for (const std::int32_t index :
         std::initializer_list<std::int32_t>{PIN_COUNT, -1, std::numeric_limits<std::int32_t>::min(),
                                             std::numeric_limits<std::int32_t>::max()}) {
        SEPinProperties properties = PatternFilled();
        EXPECT_FALSE(module.GetPinProperties(index, &properties)) << index;
        EXPECT_EQ(std::memcmp(&properties, &pattern, sizeof pattern), 0) << index;

        EXPECT_EQ(
            AudioDispatchEntry(module.GetPlugRecord(), AUDIO_GET_PIN_PROPERTIES, index, 0, &properties, 0.0f),
            0);
        EXPECT_EQ(std::memcmp(&properties, &pattern, sizeof pattern), 0) << index;
    }
}

TEST(ModulePins, TheHostsDeclarationRequestAcceptsEveryPin) {
    fake_platform::Reset();
    FakeHost host;
    Module module(host.callback(), 0);
    for (std::int32_t index = 0; index < PIN_COUNT; ++index) {
        SEPinProperties properties{};
        EXPECT_EQ(
            AudioDispatchEntry(module.GetPlugRecord(), AUDIO_GET_PIN_PROPERTIES, index, 0, &properties, 0.0f),
            1);
    }
    EXPECT_TRUE(fake_platform::assertions.empty());
}

class ModuleOpenTest : public ::testing::TestWithParam<std::int32_t> {
protected:
    void SetUp() override { fake_platform::Reset(); }
};

TEST_P(ModuleOpenTest, OpenInstallsTheSleepingRoutineThenBuildsUnboundPins) {
    const std::int32_t pin_count = GetParam();
    FakeHost host;
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = pin_count;
    Module* module = new (std::nothrow) Module(host.callback(), 5);
    ASSERT_NE(module, nullptr);
    AudioPlugRecord* record = module->GetPlugRecord();
    EXPECT_NE(reinterpret_cast<std::uintptr_t>(record->process), SleepProcessAddress());

    std::uintptr_t process_when_told = 0;
    host.on_call = [&](const HostCall& call) {
        if (call.opcode == AUDIO_HOST_PROCESS_CHANGED)
            process_when_told = reinterpret_cast<std::uintptr_t>(record->process);
    };
    EXPECT_EQ(AudioDispatchEntry(record, AUDIO_OPEN, 0, 0, nullptr, 0.0f), 0);
    EXPECT_EQ(host.Opcodes(),
              (std::vector<std::int32_t>{AUDIO_HOST_PROCESS_CHANGED, AUDIO_HOST_GET_PIN_COUNT}));
    for (const HostCall& call : host.calls) {
        EXPECT_EQ(call.record, record);
        EXPECT_EQ(call.index, 0);
        EXPECT_EQ(call.value, 0);
        EXPECT_EQ(call.ptr, nullptr);
        EXPECT_EQ(call.OptBits(), 0u);
    }
    EXPECT_EQ(process_when_told, SleepProcessAddress())
        << "the record holds the routine when the host is told";
    EXPECT_EQ(module->GetPinCount(), pin_count);
    for (std::int32_t i = 0; i < pin_count; ++i) EXPECT_FALSE(module->GetPin(i)->IsBound()) << i;

    // Each run: one sleep request with nothing else in it.
    host.calls.clear();
    record->process(record->object);
    record->process(record->object);
    ASSERT_EQ(host.Opcodes(), (std::vector<std::int32_t>{AUDIO_HOST_SLEEP, AUDIO_HOST_SLEEP}));
    EXPECT_EQ(host.calls[0].record, record);
    EXPECT_EQ(host.calls[0].index, 0);
    EXPECT_EQ(host.calls[0].value, 0);
    EXPECT_EQ(host.calls[0].ptr, nullptr);
    EXPECT_EQ(host.calls[0].OptBits(), 0u);

    host.calls.clear();
    EXPECT_EQ(AudioDispatchEntry(record, AUDIO_CLOSE, 0, 0, nullptr, 0.0f), 1);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_TRUE(fake_platform::assertions.empty());
}

INSTANTIATE_TEST_SUITE_P(HostPinCounts, ModuleOpenTest, ::testing::Values(8, 0));
