// The records the framework fills or reads, as raw bytes at the offsets a
// host uses: 4-byte pointers on the product target, 8-byte ones natively.
// The offsets are literal numbers, so a change to a declaring struct that
// moves a field fails here even where the struct's own checks move with it.
#include "SEGUI_base.h"
#include "SEModule_base.h"
#include "fake_host.h"
#include "fake_platform.h"
#include "record_bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using record_bytes::AddressOf;
using record_bytes::At;
using record_bytes::Read;
using record_bytes::Word;
using record_bytes::Write;
using Bytes = std::vector<unsigned char>;

constexpr const char* kPinName = "pin";

// Declares one DT_FLOAT output that repeats, or nothing at all.
class LayoutModule : public SEModule_base {
public:
    LayoutModule(HostCallback callback, std::intptr_t host_value) : SEModule_base(callback, host_value) {}

    bool GetPinProperties(std::int32_t index, SEPinProperties* properties) override {
        if (!declares || index != 0) return false;
        properties->variable_ptr = &variable;
        properties->direction = DR_OUT;
        properties->datatype = DT_FLOAT;
        properties->name = kPinName;
        properties->flags = 0x20 | IO_REPEAT_LAST;
        return true;
    }
    void OnPinStatusChange(SEPin* pin) override { statuses.emplace_back(pin->GetIndex(), pin->GetStatus()); }
    void OnDataEvent(std::uint32_t time_stamp, std::int32_t a, std::int16_t b) override {
        data.push_back(std::to_string(time_stamp) + " " + std::to_string(a) + " " + std::to_string(b));
    }
    const void* ProcessMember() const { return &m_process; }

    bool declares = true;
    float variable = 0.0f;
    std::vector<std::pair<std::int32_t, std::int32_t>> statuses;
    std::vector<std::string> data;
};

Bytes BytesOf(const void* record, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(record);
    return Bytes(bytes, bytes + size);
}

HostResult Send(SEModule_base& module, std::int32_t opcode, std::int32_t index = 0, void* ptr = nullptr) {
    AudioPlugRecord* record = module.GetPlugRecord();
    return record->dispatcher(record, opcode, index, 0, ptr, 0.0f);
}

class HostRecords : public ::testing::Test {
protected:
    void SetUp() override { fake_platform::Reset(); }
    FakeHost host;
    LayoutModule module{host.callback(), 0x1234};
};

TEST_F(HostRecords, PlugRecordsHoldEachFieldAtItsOffsetAndZerosElsewhere) {
    const ProcessFunction default_process = &SEModule_base::DefaultProcess;
    MemberFunctionWords process;
    std::memcpy(&process, &default_process, sizeof process);

    Bytes audio(At(48, 72), 0);
    const unsigned char audio_magic[] = {0x4C, 0x50, 0x45, 0x53};
    std::memcpy(audio.data(), audio_magic, 4);
    Write<std::int32_t>(audio.data(), 4, 1);
    Write<std::uintptr_t>(audio.data(), 8, 0x1234);
    Write(audio.data(), At(12, 16), AddressOf(static_cast<SEModule_base*>(&module)));
    Write(audio.data(), At(20, 32), AddressOf(&AudioDispatchEntry));
    Write(audio.data(), At(24, 40), process.function);
    Write(audio.data(), At(28, 48), AddressOf(&AudioEventEntry));
    EXPECT_EQ(BytesOf(module.GetPlugRecord(), audio.size()), audio);

    SEGUI_base gui(host.callback(), 0x1234567);
    Bytes expected(At(40, 56), 0);
    const unsigned char gui_magic[] = {0x4D, 0x50, 0x45, 0x53};
    std::memcpy(expected.data(), gui_magic, 4);
    Write<std::int32_t>(expected.data(), 4, 1);
    Write(expected.data(), 8, AddressOf(&GuiDispatchEntry));
    Write<std::uintptr_t>(expected.data(), At(12, 16), 0x1234567);
    Write(expected.data(), At(16, 24), AddressOf(&gui));
    EXPECT_EQ(BytesOf(gui.GetPlugRecord(), expected.size()), expected);
}

TEST_F(HostRecords, ProcessRecordNamesTheMemberWhoseWordsTheHostReads) {
    const auto* record = reinterpret_cast<const unsigned char*>(Send(module, AUDIO_GET_PROCESS_RECORD));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(Read<std::int32_t>(record, 0), 1);
    EXPECT_EQ(Read<std::int32_t>(record, 4), 8);
    EXPECT_EQ(Word(record, 8), AddressOf(module.ProcessMember()));
    EXPECT_EQ(Read<std::int32_t>(record, At(12, 16)), 1002);
    // The member's first word is the routine the plug record names; the second, the adjustment, is 0.
    EXPECT_EQ(Word(module.ProcessMember(), 0), Word(module.GetPlugRecord(), At(24, 40)));
    EXPECT_EQ(Word(module.ProcessMember(), At(4, 8)), 0u);
}

TEST_F(HostRecords, PinDeclarationsLandAtTheirOffsetsAndThePatchStoreRuleReadsThem) {
    Bytes record(At(32, 40) + 8, 0xA5);  // 8 bytes past the record watch for overruns
    EXPECT_EQ(Send(module, AUDIO_GET_PIN_PROPERTIES, 0, record.data()), 1);
    EXPECT_EQ(Word(record.data(), 0), AddressOf(&module.variable));
    EXPECT_EQ(Read<std::int32_t>(record.data(), At(4, 8)), DR_OUT);
    EXPECT_EQ(Read<std::int32_t>(record.data(), At(8, 12)), DT_FLOAT);
    EXPECT_EQ(Word(record.data(), At(12, 16)), AddressOf(kPinName));
    EXPECT_EQ(Read<std::uint32_t>(record.data(), At(24, 32)), 0x20u | IO_REPEAT_LAST);
    EXPECT_EQ(Bytes(record.begin() + At(16, 24), record.begin() + At(24, 32)), Bytes(At(8, 8), 0xA5));
    EXPECT_EQ(Bytes(record.begin() + At(28, 36), record.end()), Bytes(At(12, 12), 0xA5));
    EXPECT_TRUE(fake_platform::assertions.empty());

    // A module that declares nothing leaves the host's record as it was,
    // and the rule is checked on what the host put there: IO_PATCH_STORE
    // alone on an input is reported though the answer is false.
    module.declares = false;
    Bytes filled(At(32, 40), 0);
    Write<std::uint32_t>(filled.data(), At(24, 32), IO_PATCH_STORE);
    EXPECT_EQ(Send(module, AUDIO_GET_PIN_PROPERTIES, 0, filled.data()), 0);
    ASSERT_EQ(fake_platform::assertions.size(), 1u);
    EXPECT_EQ(fake_platform::assertions[0].line, 80);
    for (const auto& [offset, word] : {std::pair{At(4, 8), std::uint32_t{DR_OUT}},
                                       std::pair{At(24, 32), std::uint32_t{IO_PATCH_STORE | IO_PRIVATE}},
                                       std::pair{At(24, 32), std::uint32_t{IO_PATCH_STORE | IO_UI_COMMUNICATION}}}) {
        fake_platform::Reset();
        Bytes kept = filled;
        Write(kept.data(), offset, word);
        EXPECT_EQ(Send(module, AUDIO_GET_PIN_PROPERTIES, 0, kept.data()), 0);
        EXPECT_TRUE(fake_platform::assertions.empty()) << "offset " << offset << " word " << word;
    }
}

TEST_F(HostRecords, EventsAreWrittenAndReadAtTheirOffsets) {
    host.sample_clock = 100;
    Bytes sent;
    host.on_call = [&](const HostCall& call) {
        if (call.opcode == AUDIO_HOST_ADD_EVENT) sent = BytesOf(call.ptr, At(24, 32));
    };
    module.AddEvent(0x0A0B0C0D, EV_DATA, -2, 0x00050006, 0x778899);
    ASSERT_EQ(sent.size(), At(24, 32));
    EXPECT_EQ(Read<std::uint32_t>(sent.data(), 0), 0x0A0B0C0Du);
    EXPECT_EQ(Read<std::int32_t>(sent.data(), 4), EV_DATA);
    EXPECT_EQ(Read<std::int32_t>(sent.data(), 8), -2);
    EXPECT_EQ(Read<std::int32_t>(sent.data(), 12), 0x00050006);
    EXPECT_EQ(Word(sent.data(), 16), 0x778899u);
    EXPECT_EQ(Read<std::int32_t>(sent.data(), At(20, 24)), 0);

    host.answers[AUDIO_HOST_GET_PIN_COUNT] = 3;
    Send(module, AUDIO_OPEN);
    alignas(8) unsigned char delivered[At(24, 32)] = {};
    Write<std::uint32_t>(delivered, 0, 100);
    Write<std::int32_t>(delivered, 4, EV_DATA);
    Write<std::int32_t>(delivered, 8, 7);
    Write<std::int32_t>(delivered, 12, 0x0001FFFE);  // the low 16 bits, -2
    AudioPlugRecord* record = module.GetPlugRecord();
    record->event_handler(record->object, reinterpret_cast<ModuleEvent*>(delivered));
    Write<std::int32_t>(delivered, 4, EV_PIN_STATUS);
    Write<std::int32_t>(delivered, 8, 2);         // the status
    Write<std::uintptr_t>(delivered, 16, 1);      // the pin
    record->event_handler(record->object, reinterpret_cast<ModuleEvent*>(delivered));
    EXPECT_EQ(module.data, (std::vector<std::string>{"100 7 -2"}));
    EXPECT_EQ(module.statuses, (std::vector<std::pair<std::int32_t, std::int32_t>>{{1, 2}}));
    EXPECT_TRUE(fake_platform::assertions.empty());
}

}  // namespace
