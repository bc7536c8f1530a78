// The emulated back end on the shipped DLL: loading, the two exports, a GUI
// object's life through its dispatcher, callbacks (nested ones too) and the
// stand-ins the module reaches.
#include "pe_test_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

namespace {

constexpr std::int32_t kGuiOpen = 0, kGuiClose = 1, kGuiPinChanged = 7;
constexpr std::int32_t kHostGetPinValue = 14, kHostSetPinValue = 15, kHostSignal = 22;
constexpr std::int32_t kPinInterval = 2, kPinRandomMax = 7;

struct Callback {
    ModuleAddress record;
    std::int32_t opcode, index, value;
    ModuleAddress ptr;
    float opt;
    unsigned depth;
};

// Records every callback; answers pin reads from `pin_values` by writing
// the slot, and runs `on_callback` (which may call into the module).
class RecordingHandler : public CallbackHandler {
public:
    explicit RecordingHandler(ModuleLibrary& library) : m_library(library) {}
    std::vector<Callback> calls;
    std::function<float(std::int32_t pin)> pin_values = [](std::int32_t) { return 0.0f; };
    std::function<void(const Callback&)> on_callback;
    unsigned depth = 0;

    std::int64_t OnModuleCallback(ModuleAddress record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                  ModuleAddress ptr, float opt) override {
        calls.push_back({record, opcode, index, value, ptr, opt, depth});
        if (opcode == kHostGetPinValue) {
            const float pin_value = pin_values(index);
            EXPECT_TRUE(m_library.Write(ptr, &pin_value, sizeof pin_value));
        }
        ++depth;
        if (on_callback) on_callback(calls.back());
        --depth;
        return 0;
    }

private:
    ModuleLibrary& m_library;
};

struct GuiRecord {
    std::uint32_t magic, version, dispatcher, host_value;
};

std::uint64_t CallOrFail(ModuleLibrary& library, ModuleAddress function, CallShape shape,
                         const std::vector<std::uint64_t>& arguments) {
    std::uint64_t result = 0;
    std::string fault;
    EXPECT_TRUE(library.RunOutermost([&] { library.Call(function, shape, arguments, result); }, "call", fault))
        << fault;
    return result;
}

ModuleAddress MakeGui(ModuleLibrary& library, GuiRecord& record) {
    const ModuleAddress address =
        CallOrFail(library, library.make_module(), CallShape::MakeModule, {0, 2, library.CallbackAddress(), 0x1234});
    EXPECT_TRUE(library.Read(address, &record, sizeof record));
    return address;
}

std::uint64_t Dispatch(ModuleLibrary& library, ModuleAddress dispatcher, ModuleAddress record, std::int32_t opcode,
                       std::int32_t index = 0) {
    return CallOrFail(library, dispatcher, CallShape::Dispatcher,
                      {record, static_cast<std::uint64_t>(opcode), static_cast<std::uint64_t>(index), 0, 0, 0});
}

TEST(EmulatedLibrary, LoadsRelocatedAndAnswersItsProperties) {
    const PeTestImage image = PeTestImage::Shipped();
    ASSERT_FALSE(image.bytes.empty());
    EXPECT_TRUE(LooksLikeI386PeImage(image.bytes.data(), image.bytes.size()));
    const std::unique_ptr<ModuleLibrary> library = image.Open();
    ASSERT_NE(library, nullptr);
    EXPECT_STREQ(library->back_end(), "emulated i386");
    EXPECT_TRUE(library->watches_registers());
    EXPECT_TRUE(library->watches_heap());
    EXPECT_TRUE(library->has_virtual_clock());
    EXPECT_EQ(library->layout().pointer_size, 4u);
    EXPECT_TRUE(library->warnings().empty());

    // Moved from its preferred base, and every address named from the image.
    const std::uint32_t rva = image.ExportRva("getModuleProperties");
    ASSERT_NE(rva, 0u);
    EXPECT_NE(library->get_module_properties(), image.preferred_base() + rva);
    char expected[40];
    std::snprintf(expected, sizeof expected, "Quillmark.sem+0x%X", rva);
    EXPECT_EQ(library->DescribeAddress(library->get_module_properties()), expected);

    // The relocated texts are readable where the module's record says.
    const ModuleAddress properties = library->AllocateHostMemory(24);
    EXPECT_EQ(CallOrFail(*library, library->get_module_properties(), CallShape::GetModuleProperties, {0, properties}),
              1u);
    std::uint32_t fields[6] = {};
    ASSERT_TRUE(library->Read(properties, fields, sizeof fields));
    char name[10] = {};
    ASSERT_TRUE(library->Read(fields[0], name, sizeof name));
    EXPECT_STREQ(name, "Quillmark");
    EXPECT_EQ(library->DescribeAddress(fields[0]).rfind("Quillmark.sem+0x", 0), 0u);
    EXPECT_EQ(fields[5], 2230u);
    // Index 1 names no module: false, from AL alone.
    EXPECT_EQ(CallOrFail(*library, library->get_module_properties(), CallShape::GetModuleProperties, {1, properties}),
              0u);
    library->FreeHostMemory(properties);
}

TEST(EmulatedLibrary, RunsAGuiObjectFromCreationToClose) {
    const std::unique_ptr<ModuleLibrary> library = PeTestImage::Shipped().Open();
    ASSERT_NE(library, nullptr);
    RecordingHandler handler(*library);
    library->SetCallbackHandler(&handler);
    // A nonzero interval keeps its value; the empty range gets its default.
    handler.pin_values = [](std::int32_t pin) { return pin == kPinInterval ? 300.0f : 0.0f; };

    GuiRecord record{};
    const ModuleAddress address = MakeGui(*library, record);
    ASSERT_NE(address, 0u);
    EXPECT_EQ(record.magic, 0x5345504Du);
    EXPECT_EQ(record.version, 1u);
    EXPECT_EQ(record.host_value, 0x1234u);
    EXPECT_EQ(library->DescribeAddress(record.dispatcher).rfind("Quillmark.sem+0x", 0), 0u);
    EXPECT_FALSE(library->HeldBlocks().empty());

    Dispatch(*library, record.dispatcher, address, kGuiOpen);
    ASSERT_FALSE(handler.calls.empty());
    EXPECT_EQ(handler.calls.front().opcode, kHostSignal);
    EXPECT_EQ(handler.calls.front().record, address);
    bool read_interval = false, wrote_interval = false, wrote_random_max = false;
    for (const Callback& call : handler.calls) {
        read_interval |= call.opcode == kHostGetPinValue && call.index == kPinInterval && call.ptr != 0;
        wrote_interval |= call.opcode == kHostSetPinValue && call.index == kPinInterval;
        wrote_random_max |= call.opcode == kHostSetPinValue && call.index == kPinRandomMax && call.opt == 1.0f;
    }
    EXPECT_TRUE(read_interval);
    EXPECT_FALSE(wrote_interval);
    EXPECT_TRUE(wrote_random_max);

    handler.calls.clear();
    EXPECT_EQ(Dispatch(*library, record.dispatcher, address, kGuiClose), 1u);
    ASSERT_FALSE(handler.calls.empty());
    EXPECT_EQ(handler.calls.back().opcode, kHostSignal);
    EXPECT_TRUE(library->HeldBlocks().empty());
    EXPECT_FALSE(library->faulted());
}

TEST(EmulatedLibrary, CallsIntoTheModuleFromInsideItsCallback) {
    const std::unique_ptr<ModuleLibrary> library = PeTestImage::Shipped().Open();
    ASSERT_NE(library, nullptr);
    RecordingHandler handler(*library);
    library->SetCallbackHandler(&handler);
    GuiRecord record{};
    const ModuleAddress address = MakeGui(*library, record);
    Dispatch(*library, record.dispatcher, address, kGuiOpen);

    // A pin read answered by a further notification, and its first pin read
    // by another, 20 deep: each level calls the module's stand-ins and the
    // host again, and returns where it left off.
    unsigned nested = 0;
    handler.on_callback = [&](const Callback& call) {
        if (call.opcode != kHostGetPinValue || nested >= 20 || call.depth != nested) return;
        ++nested;
        std::uint64_t result = 0;
        EXPECT_TRUE(library->Call(record.dispatcher, CallShape::Dispatcher,
                                  {address, static_cast<std::uint64_t>(kGuiPinChanged), 0, 0, 0, 0}, result));
    };
    handler.calls.clear();
    std::string fault;
    ASSERT_TRUE(library->RunOutermost(
        [&] {
            std::uint64_t result = 0;
            library->Call(record.dispatcher, CallShape::Dispatcher,
                          {address, static_cast<std::uint64_t>(kGuiPinChanged), 0, 0, 0, 0}, result);
        },
        "pin changed", fault))
        << fault;
    unsigned deepest = 0;
    for (const Callback& call : handler.calls) deepest = std::max(deepest, call.depth);
    EXPECT_EQ(deepest, 20u);
    EXPECT_FALSE(library->faulted());
    Dispatch(*library, record.dispatcher, address, kGuiClose);
    EXPECT_TRUE(library->HeldBlocks().empty());
}

TEST(EmulatedLibrary, AnAssertionReportIsABrokenContractForGood) {
    const std::unique_ptr<ModuleLibrary> library = PeTestImage::Shipped().Open();
    ASSERT_NE(library, nullptr);
    const ModuleAddress record =
        CallOrFail(*library, library->make_module(), CallShape::MakeModule, {0, 1, library->CallbackAddress(), 0});
    ASSERT_NE(record, 0u);
    std::uint32_t dispatcher = 0;
    ASSERT_TRUE(library->Read(record + kI386Layout.audio.dispatcher, &dispatcher, 4));

    // Opcode 7 of the audio side is reported as a broken contract (the
    // report's whole text is the real-DLL tests' check).
    std::string fault;
    std::uint64_t result = 0;
    EXPECT_FALSE(library->RunOutermost(
        [&] { EXPECT_FALSE(library->Call(dispatcher, CallShape::Dispatcher, {record, 7, 0, 0, 0, 0}, result)); },
        "opcode 7", fault));
    EXPECT_EQ(fault.rfind("reported a broken contract: ", 0), 0u) << fault;
    EXPECT_TRUE(library->faulted());

    // Unusable afterwards: no call runs, and the same fault is reported.
    bool ran = false;
    std::string again;
    EXPECT_FALSE(library->RunOutermost([&] { ran = true; }, "after", again));
    EXPECT_FALSE(ran);
    EXPECT_EQ(again, fault);
    EXPECT_FALSE(library->Call(dispatcher, CallShape::Dispatcher, {record, 0, 0, 0, 0, 0}, result));
    EXPECT_EQ(result, 0u);
}

TEST(EmulatedLibrary, AllocationsFailOnRequest) {
    LibraryOptions options;
    options.fail_allocations_after = 0;
    const std::unique_ptr<ModuleLibrary> library = PeTestImage::Shipped().Open(options);
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(CallOrFail(*library, library->make_module(), CallShape::MakeModule, {0, 2, library->CallbackAddress(), 0}),
              0u);
    EXPECT_FALSE(library->faulted());
    EXPECT_TRUE(library->HeldBlocks().empty());
}

TEST(EmulatedLibrary, RandGivesTheRuntimesOwnSequence) {
    const PeTestImage image = PeTestImage::Shipped();
    const std::unique_ptr<ModuleLibrary> library = image.Open();
    ASSERT_NE(library, nullptr);
    // The stand-in itself, reached through the slot the loader bound.
    std::uint32_t rand_function = 0;
    ASSERT_TRUE(library->Read(library->get_module_properties() - image.ExportRva("getModuleProperties") +
                                  image.ImportSlotRva("rand"),
                              &rand_function, 4));
    for (const std::uint64_t expected : {41u, 18467u, 6334u})
        EXPECT_EQ(CallOrFail(*library, rand_function, CallShape::Dispatcher, {}), expected);
}

TEST(EmulatedLibrary, GetAsyncKeyStateAnswersFromTheOptions) {
    PeTestImage image = PeTestImage::Shipped();
    const std::uint32_t code = image.ExportRva("getModuleProperties");
    image.PatchCode(code, CallImportCode(code, image.ImportSlotRva("GetAsyncKeyState"), false));
    LibraryOptions options;
    options.key_state = [](int key) { return static_cast<std::int16_t>(key == 17 ? 0x8001 : 0); };
    const std::unique_ptr<ModuleLibrary> library = image.Open(options);
    ASSERT_NE(library, nullptr);
    // A SHORT, sign-extended; the stdcall stand-in popped its argument.
    EXPECT_EQ(CallOrFail(*library, library->get_module_properties(), CallShape::Dispatcher, {17}),
              static_cast<std::uint64_t>(-32767));
    EXPECT_EQ(CallOrFail(*library, library->get_module_properties(), CallShape::Dispatcher, {65}), 0u);

    const std::unique_ptr<ModuleLibrary> without = image.Open();
    ASSERT_NE(without, nullptr);
    EXPECT_EQ(CallOrFail(*without, without->get_module_properties(), CallShape::Dispatcher, {17}), 0u);
}

TEST(EmulatedLibrary, ReadsAndWritesOnlyWhatTheModuleMay) {
    const std::unique_ptr<ModuleLibrary> library = PeTestImage::Shipped().Open();
    ASSERT_NE(library, nullptr);
    const ModuleAddress code = library->get_module_properties();
    unsigned char byte = 0;
    EXPECT_TRUE(library->Read(code, &byte, 1));
    EXPECT_FALSE(library->Write(code, &byte, 1));  // code is not writable
    EXPECT_FALSE(library->Read(0x10, &byte, 1));   // nothing in the low 64 KB
    EXPECT_FALSE(library->Read(0x100000000ull, &byte, 1));

    const ModuleAddress lent = library->AllocateHostMemory(100);
    unsigned char contents[100];
    ASSERT_TRUE(library->Read(lent, contents, sizeof contents));
    EXPECT_EQ(std::count(contents, contents + 100, 0), 100);
    EXPECT_TRUE(library->Write(lent, "text", 5));
    library->FreeHostMemory(lent);
    // Lent again, zero again.
    const ModuleAddress again = library->AllocateHostMemory(100);
    ASSERT_TRUE(library->Read(again, contents, sizeof contents));
    EXPECT_EQ(std::count(contents, contents + 100, 0), 100);
}

}  // namespace
