#include "real_dll.h"

#include "SEProtocol.h"

#include <gtest/gtest.h>

#include <filesystem>

std::string RealDllPath() { return std::string(QUILL_WIN32_DIR) + "/Quillmark.sem"; }

bool RealDllBuilt() {
    if (std::filesystem::is_regular_file(RealDllPath())) return true;
    ADD_FAILURE() << RealDllPath()
                  << " is missing: build the win32 preset first (cmake --build --preset win32, or ./quill build win32)";
    return false;
}

std::string AssertionFault(const std::string& expression, const std::string& file, int line) {
    return "reported a broken contract: Assertion failed: " + expression + ", file " + file + ", line " +
           std::to_string(line);
}

RealDll::RealDll(LibraryOptions options) {
    if (!RealDllBuilt()) return;
    if (!options.clock_milliseconds) options.clock_milliseconds = [this] { return clock_ms; };
    if (!options.key_state)
        options.key_state = [this](int key) {
            key_queries.push_back(key);
            const auto state = keys.find(key);
            return state == keys.end() ? std::int16_t{0} : state->second;
        };
    ModuleLibrary::Status status = ModuleLibrary::Status::Loaded;
    std::string problem;
    library = ModuleLibrary::Open(RealDllPath(), options, status, problem);
    if (library == nullptr) {
        ADD_FAILURE() << RealDllPath() << " did not load: " << problem;
        return;
    }
    library->SetCallbackHandler(this);
}

RealDll::~RealDll() {
    if (library != nullptr) library->SetCallbackHandler(nullptr);
}

std::vector<std::int32_t> RealDll::Opcodes() const {
    std::vector<std::int32_t> opcodes;
    for (const HostCall& call : calls) opcodes.push_back(call.opcode);
    return opcodes;
}

std::vector<HostCall> RealDll::CallsWith(std::int32_t opcode) const {
    std::vector<HostCall> found;
    for (const HostCall& call : calls)
        if (call.opcode == opcode) found.push_back(call);
    return found;
}

float RealDll::PinFloat(std::int32_t pin) const {
    const auto held = pin_bits.find(pin);
    return PinBitsAsFloat(held == pin_bits.end() ? 0 : held->second);
}

void RealDll::SetPinFloat(std::int32_t pin, float value) { pin_bits[pin] = PinBitsOfFloat(value); }

std::uint64_t RealDll::Call(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments) {
    const std::string fault = Fault(function, shape, arguments);
    EXPECT_EQ(fault, "");
    return m_last_result;
}

std::string RealDll::Fault(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments) {
    m_last_result = 0;
    std::string fault;
    const bool returned = library->RunOutermost(
        [&] { library->Call(function, shape, arguments, m_last_result); }, "test call", fault);
    EXPECT_EQ(returned, fault.empty()) << fault;
    return fault;
}

ModuleAddress RealDll::MakeModule(std::int32_t index, std::int32_t type, std::int64_t host_value) {
    return Call(library->make_module(), CallShape::MakeModule,
                {static_cast<std::uint64_t>(index), static_cast<std::uint64_t>(type), library->CallbackAddress(),
                 static_cast<std::uint64_t>(host_value)});
}

std::int64_t RealDll::Audio(ModuleAddress record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                            ModuleAddress ptr, float opt) {
    return static_cast<std::int64_t>(Call(Word(record + 20), CallShape::Dispatcher,
                                          {record, static_cast<std::uint64_t>(opcode),
                                           static_cast<std::uint64_t>(index), static_cast<std::uint64_t>(value), ptr,
                                           CallWordOfFloat(opt)}));
}

std::int64_t RealDll::Gui(ModuleAddress record, std::int32_t opcode, std::int32_t index) {
    return static_cast<std::int64_t>(Call(Word(record + 8), CallShape::Dispatcher,
                                          {record, static_cast<std::uint64_t>(opcode),
                                           static_cast<std::uint64_t>(index), 0, 0, 0}));
}

void RealDll::GuiPinChanged(ModuleAddress record, std::int32_t pin, std::int32_t value) {
    SetPinInt(pin, value);
    Gui(record, GUI_PIN_CHANGED, pin);
}

std::uint32_t RealDll::Word(ModuleAddress address) {
    std::uint32_t word = 0;
    EXPECT_TRUE(library->Read(address, &word, sizeof word)) << library->DescribeAddress(address);
    return word;
}

std::vector<unsigned char> RealDll::Bytes(ModuleAddress address, std::size_t size) {
    std::vector<unsigned char> bytes(size);
    EXPECT_TRUE(library->Read(address, bytes.data(), size)) << library->DescribeAddress(address);
    return bytes;
}

std::string RealDll::Text(ModuleAddress address) {
    std::string text;
    char c = 0;
    while (text.size() < 4096 && library->Read(address + text.size(), &c, 1) && c != 0) text += c;
    return text;
}

bool RealDll::InImage(ModuleAddress address) const {
    return library->DescribeAddress(address).rfind("Quillmark.sem+0x", 0) == 0;
}

std::int64_t RealDll::OnModuleCallback(ModuleAddress record, std::int32_t opcode, std::int32_t index,
                                       std::int32_t value, ModuleAddress ptr, float opt) {
    calls.push_back({record, opcode, index, value, ptr, opt});
    std::int64_t result = 0;
    // The GUI side's records start with its magic; the audio side's with its own.
    std::uint32_t magic = 0;
    library->Read(record, &magic, sizeof magic);
    if (magic == GUI_PLUG_MAGIC) {
        if (opcode == GUI_HOST_GET_PIN_VALUE) {
            const auto held = pin_bits.find(index);
            const std::uint32_t bits = held == pin_bits.end() ? 0 : held->second;
            EXPECT_TRUE(library->Write(ptr, &bits, sizeof bits)) << "the module's slot is writable";
        } else if (opcode == GUI_HOST_SET_PIN_VALUE) {
            if (int_pins.count(index) != 0) {
                pin_bits[index] = static_cast<std::uint32_t>(value);
            } else {
                SetPinFloat(index, opt);
            }
        }
    } else {
        const auto answer = answers.find(opcode);
        if (answer != answers.end()) result = answer->second;
    }
    if (on_call) on_call(calls.back());
    return result;
}
