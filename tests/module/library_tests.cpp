// The built library, loaded and driven as the host drives it: only through
// its two exports and the plug records they hand out. The program runs in
// the directory that holds the library.
#include "ModulePins.h"
#include "SEHostTypes.h"
#include "fake_host.h"
#include "record_bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

class LoadedLibrary {
public:
    LoadedLibrary() {
#if defined(_WIN32)
        m_handle = LoadLibraryA(".\\" QUILL_MODULE_FILE);
#else
        m_handle = dlopen("./" QUILL_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
#endif
    }
    ~LoadedLibrary() {
        if (m_handle == nullptr) return;
#if defined(_WIN32)
        FreeLibrary(m_handle);
#else
        dlclose(m_handle);
#endif
    }
    bool Loaded() const { return m_handle != nullptr; }

    template <typename Function>
    Function Find(const char* name) const {
#if defined(_WIN32)
        const FARPROC address = GetProcAddress(m_handle, name);
#else
        void* const address = dlsym(m_handle, name);
#endif
        Function function = nullptr;
        static_assert(sizeof function == sizeof address);
        std::memcpy(&function, &address, sizeof function);
        return function;
    }

private:
#if defined(_WIN32)
    HMODULE m_handle;
#else
    void* m_handle;
#endif
};

class LibraryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { library = new LoadedLibrary; }
    static void TearDownTestSuite() {
        delete library;
        library = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(library->Loaded()) << QUILL_MODULE_FILE << " did not load";
        get_module_properties = library->Find<GetModulePropertiesFunction>("getModuleProperties");
        make_module = library->Find<MakeModuleFunction>("makeModule");
        ASSERT_NE(get_module_properties, nullptr);
        ASSERT_NE(make_module, nullptr);
        host.int_pins = {PIN_MOUSE_DOWN, PIN_RESET, PIN_RANDOMIZE};
    }

    static HostResult Gui(void* record, std::int32_t opcode, std::int32_t index = 0) {
        return static_cast<GuiPlugRecord*>(record)->dispatcher(record, opcode, index, 0, nullptr, 0.0f);
    }
    static HostResult Audio(void* record, std::int32_t opcode, std::int32_t index = 0, void* ptr = nullptr) {
        return static_cast<AudioPlugRecord*>(record)->dispatcher(record, opcode, index, 0, ptr, 0.0f);
    }

    static LoadedLibrary* library;
    GetModulePropertiesFunction get_module_properties = nullptr;
    MakeModuleFunction make_module = nullptr;
    FakeHost host;
};

LoadedLibrary* LibraryTest::library = nullptr;

void ExpectMagicBytes(const void* record, const std::vector<unsigned char>& bytes) {
    EXPECT_EQ(std::memcmp(record, bytes.data(), bytes.size()), 0);
}

}  // namespace

TEST_F(LibraryTest, ModuleZeroNamesItselfAndOtherNumbersAreRefused) {
    // The answer as a host reads it, at literal offsets.
    using record_bytes::At;
    alignas(8) unsigned char raw[At(24, 40)] = {};
    ASSERT_TRUE(get_module_properties(0, reinterpret_cast<ModuleProperties*>(raw)));
    EXPECT_STREQ(reinterpret_cast<const char*>(record_bytes::Word(raw, 0)), "Quillmark");
    EXPECT_EQ(record_bytes::Word(raw, At(4, 8)), record_bytes::Word(raw, 0)) << "one text for name and id";
    EXPECT_STREQ(reinterpret_cast<const char*>(record_bytes::Word(raw, At(8, 16))), "knob-waving Tom-Foolery");
    EXPECT_EQ(record_bytes::Read<std::uint32_t>(raw, At(12, 24)), 512u);
    EXPECT_EQ(record_bytes::Read<std::uint32_t>(raw, At(16, 28)), 256u);
    EXPECT_EQ(record_bytes::Read<std::int32_t>(raw, At(20, 32)), 2230);

    for (const std::int32_t index : {1, -1}) {
        ModuleProperties untouched;
        std::memset(&untouched, 0x5A, sizeof untouched);
        ModuleProperties refused = untouched;
        EXPECT_FALSE(get_module_properties(index, &refused)) << index;
        EXPECT_EQ(refused.sdk_version, 2230) << "written whatever the index";
        refused.sdk_version = untouched.sdk_version;
        EXPECT_EQ(std::memcmp(&refused, &untouched, sizeof untouched), 0) << "no other field is written";
    }
}

TEST_F(LibraryTest, OnlyModuleZeroAndTheTwoObjectTypesAreMade) {
    EXPECT_EQ(make_module(0, 0, host.callback(), 0), nullptr);
    EXPECT_EQ(make_module(0, 3, host.callback(), 0), nullptr);
    EXPECT_EQ(make_module(1, MT_AUDIO, host.callback(), 0), nullptr);
    EXPECT_EQ(make_module(1, MT_GUI, host.callback(), 0), nullptr);
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(LibraryTest, AudioObjectDeclaresItsPinsSleepsAndCloses) {
    host.answers[AUDIO_HOST_GET_PIN_COUNT] = PIN_COUNT;
    void* record = make_module(0, MT_AUDIO, host.callback(), 1234);
    ASSERT_NE(record, nullptr);
    AudioPlugRecord* audio = static_cast<AudioPlugRecord*>(record);
    ExpectMagicBytes(record, {0x4C, 0x50, 0x45, 0x53});
    EXPECT_EQ(audio->version, 1);
    EXPECT_EQ(audio->host_value, 1234);
    EXPECT_NE(audio->object, record) << "the record is embedded, not the object's start";
    EXPECT_TRUE(host.calls.empty()) << "construction makes no host call";

    EXPECT_EQ(Audio(record, AUDIO_OPEN), 0);
    EXPECT_EQ(host.Opcodes(),
              (std::vector<std::int32_t>{AUDIO_HOST_PROCESS_CHANGED, AUDIO_HOST_GET_PIN_COUNT}));

    const char* const names[] = {"Mouse Down", "Reset Value", "Interval (ms)", "Animation Position",
                                 "Reset",      "Randomize",   "Random (min)",  "Random (max)"};
    for (std::int32_t index = 0; index < PIN_COUNT; ++index) {
        SEPinProperties properties{};
        EXPECT_EQ(Audio(record, AUDIO_GET_PIN_PROPERTIES, index, &properties), 1);
        EXPECT_STREQ(properties.name, names[index]);
        EXPECT_EQ(properties.flags, IO_UI_COMMUNICATION);
    }
    SEPinProperties past{};
    EXPECT_EQ(Audio(record, AUDIO_GET_PIN_PROPERTIES, PIN_COUNT, &past), 0);

    host.calls.clear();
    audio->process(audio->object);
    EXPECT_EQ(host.Opcodes(), std::vector<std::int32_t>{AUDIO_HOST_SLEEP});
    EXPECT_EQ(Audio(record, AUDIO_CLOSE), 1);
}

TEST_F(LibraryTest, GuiObjectsAreIndependentFillDefaultsAndResetOnDoubleClick) {
    void* first = make_module(0, MT_GUI, host.callback(), 11);
    void* second = make_module(0, MT_GUI, host.callback(), 22);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    for (void* record : {first, second}) {
        ExpectMagicBytes(record, {0x4D, 0x50, 0x45, 0x53});
        EXPECT_EQ(static_cast<GuiPlugRecord*>(record)->version, 1);
        EXPECT_NE(static_cast<GuiPlugRecord*>(record)->object, record);
    }
    EXPECT_EQ(static_cast<GuiPlugRecord*>(first)->host_value, 11);
    EXPECT_EQ(static_cast<GuiPlugRecord*>(second)->host_value, 22);
    EXPECT_TRUE(host.calls.empty()) << "construction makes no host call";

    // Empty interval and range: Open(false) fills in the defaults.
    EXPECT_EQ(Gui(first, GUI_OPEN, 0), 0);
    EXPECT_EQ(host.calls.front().opcode, GUI_HOST_SIGNAL);
    EXPECT_EQ(host.PinFloat(PIN_INTERVAL), 200.0f);
    EXPECT_EQ(host.PinFloat(PIN_RANDOM_MAX), 1.0f);

    // Two presses well within a long interval: the reset value is written.
    host.SetPinFloat(PIN_INTERVAL, 1e6f);
    host.SetPinFloat(PIN_RESET_VALUE, -2.5f);
    host.SetPinInt(PIN_MOUSE_DOWN, 1);
    Gui(first, GUI_PIN_CHANGED, PIN_MOUSE_DOWN);
    Gui(first, GUI_PIN_CHANGED, PIN_MOUSE_DOWN);
    ASSERT_EQ(host.CallsWith(GUI_HOST_SET_PIN_VALUE).size(), 3u);
    EXPECT_EQ(host.PinFloat(PIN_ANIMATION_POSITION), -2.5f);

    // The second object has no click of its own yet.
    Gui(second, GUI_PIN_CHANGED, PIN_MOUSE_DOWN);
    EXPECT_EQ(host.CallsWith(GUI_HOST_SET_PIN_VALUE).size(), 3u);

    EXPECT_EQ(Gui(first, GUI_IDLE), 1);
    host.calls.clear();
    EXPECT_EQ(Gui(first, GUI_CLOSE), 1);
    EXPECT_EQ(host.Opcodes(), std::vector<std::int32_t>{GUI_HOST_SIGNAL});
    EXPECT_EQ(host.calls[0].record, first);
    EXPECT_EQ(Gui(second, GUI_CLOSE), 1);
}

#if !defined(_WIN32)
// The native library takes the key state from the process that loads it.
namespace {
bool g_ctrl_down = false;
std::vector<int> g_key_queries;
}  // namespace

extern "C" std::int16_t se_host_async_key_state(int virtual_key) {
    g_key_queries.push_back(virtual_key);
    return virtual_key == 17 && g_ctrl_down ? static_cast<std::int16_t>(0x8000) : 0;
}

TEST_F(LibraryTest, NativeLibraryReadsCtrlFromTheLoadingProcess) {
    void* record = make_module(0, MT_GUI, host.callback(), 0);
    ASSERT_NE(record, nullptr);
    g_key_queries.clear();
    Gui(record, GUI_OPEN, 1);
    ASSERT_EQ(g_key_queries.size(), 40u);
    EXPECT_EQ(g_key_queries[0], 17);

    host.SetPinFloat(PIN_RESET_VALUE, -1.0f);
    host.SetPinFloat(PIN_INTERVAL, 1e6f);
    host.SetPinFloat(PIN_RANDOM_MIN, 20.0f);
    host.SetPinFloat(PIN_RANDOM_MAX, 10.0f);
    host.SetPinInt(PIN_MOUSE_DOWN, 1);
    Gui(record, GUI_PIN_CHANGED, PIN_MOUSE_DOWN);
    g_ctrl_down = true;
    Gui(record, GUI_PIN_CHANGED, PIN_MOUSE_DOWN);
    g_ctrl_down = false;
    ASSERT_EQ(host.CallsWith(GUI_HOST_SET_PIN_VALUE).size(), 1u);
    EXPECT_GE(host.PinFloat(PIN_ANIMATION_POSITION), 10.0f) << "a random value, not the reset value";
    EXPECT_LT(host.PinFloat(PIN_ANIMATION_POSITION), 20.0f);
    Gui(record, GUI_CLOSE);
}
#endif
