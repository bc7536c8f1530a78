#include "image_bench.h"

#include "ModulePins.h"
#include "SEProtocol.h"

#include <bit>

namespace image_bench {

namespace {

constexpr std::int32_t kHostPinCount = 8;
// Far apart for a single click, within the 200 ms interval for a double one.
constexpr std::uint32_t kSlowClickMs = 1000;
constexpr std::uint32_t kQuickClickMs = 50;

}  // namespace

const OperationInfo kOperations[7] = {
    {Operation::SingleClick, "single_click", "mouse-down notification (single click)", 1.25},
    {Operation::DoubleClick, "double_click", "double click (2 notifications, 1 reset write)", 1.25},
    {Operation::Reset, "reset", "\"Reset\" notification (reset write)", 1.25},
    {Operation::Randomize, "randomize", "\"Randomize\" notification (random write)", 1.25},
    {Operation::Process, "process", "processing routine, through `process`", 1.25},
    {Operation::GuiLifeCycle, "gui_life_cycle", "GUI object: create, open (defaults), close", 1.5},
    {Operation::AudioLifeCycle, "audio_life_cycle", "audio object: create, open (8 pins), close", 1.5},
};

const OperationInfo& InfoOf(Operation operation) {
    for (const OperationInfo& info : kOperations)
        if (info.operation == operation) return info;
    return kOperations[0];
}

std::string ShippedLibraryPath() { return std::string(QUILL_WIN32_DIR) + "/Quillmark.sem"; }
std::string FloorLibraryPath() { return std::string(QUILL_WIN32_DIR) + "/bench/QuillmarkFloor.sem"; }

ImageBench::ImageBench(const std::string& path) {
    LibraryOptions options;
    options.clock_milliseconds = [this] { return m_clock_ms; };
    // No key is ever down; the queries are what the module asked.
    options.key_state = [this](int key) {
        m_key_queries.push_back(key);
        return std::int16_t{0};
    };
    ModuleLibrary::Status status = ModuleLibrary::Status::Loaded;
    std::string problem;
    m_library = ModuleLibrary::Open(path, options, status, problem);
    if (m_library == nullptr) {
        m_problem = path + " did not load: " + problem;
        return;
    }
    if (!m_library->ImageInstructions()) {
        m_problem = path + " loaded in a back end that counts no instructions (" + m_library->back_end() + ")";
        return;
    }
    m_library->SetCallbackHandler(this);
    m_pins[PIN_MOUSE_DOWN] = 1;
    m_pins[PIN_RESET_VALUE] = PinBitsOfFloat(0.5f);
    m_pins[PIN_INTERVAL] = PinBitsOfFloat(200.0f);
    m_pins[PIN_RANDOM_MAX] = PinBitsOfFloat(1.0f);
    m_gui = Make(MT_GUI);
    if (ok()) Dispatch(m_gui, m_library->layout().gui.dispatcher, GUI_OPEN, 0);
    m_audio = Make(MT_AUDIO);
    if (ok()) Dispatch(m_audio, m_library->layout().audio.dispatcher, AUDIO_OPEN, 0);
}

ImageBench::~ImageBench() {
    if (m_library != nullptr) m_library->SetCallbackHandler(nullptr);
}

std::uint64_t ImageBench::Measure(Operation operation) {
    if (!ok()) return 0;
    Run(operation);
    m_requests.clear();
    m_key_queries.clear();
    const std::uint64_t before = m_library->ImageInstructions().value_or(0);
    Run(operation);
    const std::uint64_t after = m_library->ImageInstructions().value_or(0);
    return ok() ? after - before : 0;
}

void ImageBench::Run(Operation operation) {
    const RecordLayout& layout = m_library->layout();
    switch (operation) {
    case Operation::SingleClick:
        m_clock_ms += kSlowClickMs;
        Notify(PIN_MOUSE_DOWN);
        break;
    case Operation::DoubleClick:
        m_clock_ms += kSlowClickMs;
        Notify(PIN_MOUSE_DOWN);
        m_clock_ms += kQuickClickMs;
        Notify(PIN_MOUSE_DOWN);
        break;
    case Operation::Reset:
        Notify(PIN_RESET);
        break;
    case Operation::Randomize:
        Notify(PIN_RANDOMIZE);  // "Randomize" reads 0: the random write
        break;
    case Operation::Process: {
        std::uint64_t ignored = 0;
        Call(Word(m_audio + layout.audio.process), CallShape::Process, {Word(m_audio + layout.audio.object)},
             ignored);
        break;
    }
    case Operation::GuiLifeCycle: {
        const ModuleAddress record = Make(MT_GUI);
        if (!ok()) break;
        Dispatch(record, layout.gui.dispatcher, GUI_OPEN, 0);
        Dispatch(record, layout.gui.dispatcher, GUI_CLOSE, 0);
        break;
    }
    case Operation::AudioLifeCycle: {
        const ModuleAddress record = Make(MT_AUDIO);
        if (!ok()) break;
        Dispatch(record, layout.audio.dispatcher, AUDIO_OPEN, 0);
        Dispatch(record, layout.audio.dispatcher, AUDIO_CLOSE, 0);
        break;
    }
    }
}

bool ImageBench::Call(ModuleAddress function, CallShape shape, const std::vector<std::uint64_t>& arguments,
                      std::uint64_t& result) {
    result = 0;
    if (!ok()) return false;
    std::string fault;
    if (!m_library->RunOutermost([&] { m_library->Call(function, shape, arguments, result); }, "benchmark call",
                                 fault)) {
        m_problem = "the module " + fault;
        return false;
    }
    return true;
}

std::uint64_t ImageBench::Dispatch(ModuleAddress record, std::uint32_t dispatcher_offset, std::int32_t opcode,
                                   std::int32_t index) {
    std::uint64_t result = 0;
    Call(Word(record + dispatcher_offset), CallShape::Dispatcher,
         {record, static_cast<std::uint64_t>(opcode), static_cast<std::uint64_t>(index), 0, 0, 0}, result);
    return result;
}

ModuleAddress ImageBench::Make(std::int32_t type) {
    std::uint64_t record = 0;
    if (Call(m_library->make_module(), CallShape::MakeModule,
             {0, static_cast<std::uint64_t>(type), m_library->CallbackAddress(), 0}, record) &&
        record == 0)
        m_problem = "makeModule answered null for type " + std::to_string(type);
    return record;
}

void ImageBench::Notify(std::int32_t pin) { Dispatch(m_gui, m_library->layout().gui.dispatcher, GUI_PIN_CHANGED, pin); }

std::uint32_t ImageBench::Word(ModuleAddress address) {
    std::uint32_t word = 0;
    if (ok() && !m_library->Read(address, &word, sizeof word))
        m_problem = "a record is not readable at " + m_library->DescribeAddress(address);
    return word;
}

std::int64_t ImageBench::OnModuleCallback(ModuleAddress record, std::int32_t opcode, std::int32_t index,
                                          std::int32_t value, ModuleAddress ptr, float opt) {
    std::uint32_t magic = 0;
    m_library->Read(record, &magic, sizeof magic);
    const bool gui = magic == GUI_PLUG_MAGIC;
    m_requests.push_back({gui, opcode, index, value, ptr != 0, std::bit_cast<std::uint32_t>(opt)});
    const bool known_pin = static_cast<std::uint32_t>(index) < kHostPinCount;
    if (gui && opcode == GUI_HOST_GET_PIN_VALUE) {
        const std::uint32_t bits = known_pin ? m_pins[index] : 0;
        m_library->Write(ptr, &bits, sizeof bits);
    } else if (gui && opcode == GUI_HOST_SET_PIN_VALUE) {
        // Every write of this module is a float, in opt.
        if (known_pin) m_pins[index] = PinBitsOfFloat(opt);
    } else if (!gui && opcode == AUDIO_HOST_GET_PIN_COUNT) {
        return kHostPinCount;
    }
    return 0;
}

}  // namespace image_bench
