// A module file's own i386 instructions per operation: the file loaded in
// the emulated back end, driven through its exports and records by a small
// host of this bench's own, and the instructions its image runs counted
// (ModuleLibrary::ImageInstructions). The host's answers and the stand-ins
// for the C runtime and user32 run outside the image and are not counted,
// so the count is exactly the module's own code, and it is the same on
// every run.
//
// The operations are those of the native benchmarks, and the same for the
// shipped Quillmark.sem and for its floor (bench/floor), which makes the
// same host callbacks and platform calls with no framework: the ratio of
// the two counts is what the framework costs in the file users run.
#pragma once

#include "library/module_library.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace image_bench {

enum class Operation {
    SingleClick,     // a mouse-down notification, 1 s after the previous one
    DoubleClick,     // two mouse-downs 50 ms apart: the second writes "Reset Value"
    Reset,           // a notification of "Reset": the reset write
    Randomize,       // "Randomize" back to 0: the random write
    Process,         // one run of the processing routine, through `process`
    GuiLifeCycle,    // makeModule (GUI), open with defaults, close
    AudioLifeCycle,  // makeModule (audio), open against 8 pins, close
};

struct OperationInfo {
    Operation operation;
    const char* name;  // a word, for command lines and reports
    const char* description;
    // The most the shipped library may cost, as a multiple of its floor.
    double goal;
};
extern const OperationInfo kOperations[7];
const OperationInfo& InfoOf(Operation operation);

// One host callback as the module made it; record and ptr only as far as
// two libraries can agree on them.
struct HostRequest {
    bool gui_record;  // made with a GUI record (else an audio one)
    std::int32_t opcode;
    std::int32_t index;
    std::int32_t value;
    bool has_ptr;
    std::uint32_t opt_bits;
    bool operator==(const HostRequest&) const = default;
};

class ImageBench final : public CallbackHandler {
public:
    // Loads the module file and makes and opens one GUI and one audio
    // object for the notifications and the processing routine. Check ok().
    explicit ImageBench(const std::string& path);
    ~ImageBench() override;

    bool ok() const { return m_problem.empty(); }
    // What went wrong: the load, or a fault of the module.
    const std::string& problem() const { return m_problem; }

    // Runs the operation once to reach its steady state, then once more,
    // counted: the image's instructions of that second run (0 once the
    // module failed; see problem()).
    std::uint64_t Measure(Operation operation);
    // What the counted run asked of the host and of GetAsyncKeyState.
    const std::vector<HostRequest>& requests() const { return m_requests; }
    const std::vector<int>& key_queries() const { return m_key_queries; }

    std::int64_t OnModuleCallback(ModuleAddress record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                  ModuleAddress ptr, float opt) override;

private:
    void Run(Operation operation);
    // One outermost call; false (with problem() set) when the module faulted.
    bool Call(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments,
              std::uint64_t& result);
    std::uint64_t Dispatch(ModuleAddress record, std::uint32_t dispatcher_offset, std::int32_t opcode,
                           std::int32_t index);
    ModuleAddress Make(std::int32_t type);
    void Notify(std::int32_t pin);
    std::uint32_t Word(ModuleAddress address);

    std::unique_ptr<ModuleLibrary> m_library;
    std::string m_problem;
    ModuleAddress m_gui = 0;
    ModuleAddress m_audio = 0;
    std::uint32_t m_clock_ms = 0;
    std::uint32_t m_pins[8] = {};
    std::vector<HostRequest> m_requests;
    std::vector<int> m_key_queries;
};

// The shipped library and its floor as the win32 preset builds them.
std::string ShippedLibraryPath();
std::string FloorLibraryPath();

}  // namespace image_bench
