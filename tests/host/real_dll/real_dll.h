// The shipped Quillmark.sem (built by the win32 preset) loaded through the
// emulated back end, with a small host of the tests' own that answers its
// callbacks, keeps pin values and records every call. The module's clock
// and key state are the test's to set.
#pragma once

#include "library/module_library.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// The DLL's path under QUILL_WIN32_DIR.
std::string RealDllPath();
// True when the DLL is there; otherwise adds a failure that says to build
// the win32 preset first.
bool RealDllBuilt();

struct HostCall {
    ModuleAddress record;
    std::int32_t opcode, index, value;
    ModuleAddress ptr;
    float opt;
};

class RealDll : public CallbackHandler {
public:
    // Loads the DLL with `options`; its clock reads `clock_ms` and its key
    // state `keys` (when the options give none of their own). `library` is
    // null, with a failure added, when it does not load.
    explicit RealDll(LibraryOptions options = {});
    ~RealDll() override;

    std::unique_ptr<ModuleLibrary> library;
    std::uint32_t clock_ms = 0;
    std::map<int, std::int16_t> keys;  // virtual key -> state; absent keys are up
    std::vector<int> key_queries;

    // --- The host's answers ---
    std::vector<HostCall> calls;
    std::map<std::int32_t, std::int64_t> answers;  // audio opcode -> result
    std::map<std::int32_t, std::uint32_t> pin_bits;
    std::set<std::int32_t> int_pins;  // pins written through `value`; the rest through `opt`
    // Runs inside each callback, after it was answered.
    std::function<void(const HostCall&)> on_call;

    std::vector<std::int32_t> Opcodes() const;
    std::vector<HostCall> CallsWith(std::int32_t opcode) const;
    float PinFloat(std::int32_t pin) const;
    void SetPinFloat(std::int32_t pin, float value);
    void SetPinInt(std::int32_t pin, std::int32_t value) { pin_bits[pin] = static_cast<std::uint32_t>(value); }

    // --- Calls into the module, each its own outermost call ---
    // The result; a fault fails the test (use Fault for the expected ones).
    std::uint64_t Call(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments);
    // The fault text of a call expected to fault, or "" when it returned.
    std::string Fault(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments);

    ModuleAddress MakeModule(std::int32_t index, std::int32_t type, std::int64_t host_value);
    // The record's dispatcher (audio at 20, GUI at 8), called with the record.
    std::int64_t Audio(ModuleAddress record, std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0,
                       ModuleAddress ptr = 0, float opt = 0.0f);
    std::int64_t Gui(ModuleAddress record, std::int32_t opcode, std::int32_t index = 0);
    // GUI_PIN_CHANGED of `pin` after the host set it to `value`.
    void GuiPinChanged(ModuleAddress record, std::int32_t pin, std::int32_t value);

    // Raw little-endian 32-bit words of module memory.
    std::uint32_t Word(ModuleAddress address);
    std::vector<unsigned char> Bytes(ModuleAddress address, std::size_t size);
    std::string Text(ModuleAddress address);
    // True when the address lies inside the DLL's image.
    bool InImage(ModuleAddress address) const;

    std::int64_t OnModuleCallback(ModuleAddress record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                  ModuleAddress ptr, float opt) override;

private:
    std::uint64_t m_last_result = 0;
};

// Fault texts of the framework's assertion reports, as the emulated C
// runtime's _assert gives them.
std::string AssertionFault(const std::string& expression, const std::string& file, int line);
