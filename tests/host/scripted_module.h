// A module whose functions are the test's C++ lambdas and whose memory is
// this process's, behind the library seam: enough to drive a session and
// see exactly what the host does to an audio object.
#pragma once

#include "library/module_library.h"
#include "SEHostTypes.h"

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

class ScriptedLibrary : public ModuleLibrary {
public:
    using Function = std::function<std::uint64_t(const std::vector<std::uint64_t>&)>;

    ScriptedLibrary() : ModuleLibrary(kNativeLayout) {}
    ModuleAddress Add(Function function) {
        m_functions.push_back(std::move(function));
        return m_functions.size();  // 0 stays the null function
    }
    void SetExports(ModuleAddress properties, ModuleAddress make) {
        m_get_module_properties = properties;
        m_make_module = make;
    }
    std::int64_t CallBack(ModuleAddress record, std::int32_t opcode, ModuleAddress ptr, std::int32_t index = 0,
                          std::int32_t value = 0) {
        return RunCallback(record, opcode, index, value, ptr, 0.0f);
    }

    const char* back_end() const override { return "scripted"; }
    ModuleAddress CallbackAddress() override { return 0; }
    bool RunOutermost(const std::function<void()>& body, const std::string&, std::string&) override {
        body();
        return true;
    }
    bool Call(ModuleAddress function, CallShape, const std::vector<std::uint64_t>& arguments,
              std::uint64_t& result) override {
        result = m_functions.at(function - 1)(arguments);
        return true;
    }
    bool faulted() const override { return false; }
    // The host reads a module's texts a page at a time, past the text's end
    // as a module's memory allows; here the "module memory" is this
    // process's, so the copy is byte by byte and unchecked by the sanitizer.
    __attribute__((no_sanitize("address"))) bool Read(ModuleAddress address, void* destination,
                                                      std::size_t size) override {
        const volatile unsigned char* from =
            reinterpret_cast<const volatile unsigned char*>(static_cast<std::uintptr_t>(address));
        unsigned char* to = static_cast<unsigned char*>(destination);
        for (std::size_t i = 0; i < size; ++i) to[i] = from[i];
        return true;
    }
    bool Write(ModuleAddress address, const void* source, std::size_t size) override {
        std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), source, size);
        return true;
    }
    ModuleAddress AllocateHostMemory(std::size_t size) override {
        auto block = std::make_unique<unsigned char[]>(size + 1);
        const auto address = reinterpret_cast<ModuleAddress>(block.get());
        m_blocks[address] = std::move(block);
        return address;
    }
    void FreeHostMemory(ModuleAddress address) override { m_blocks.erase(address); }

private:
    std::vector<Function> m_functions;
    std::map<ModuleAddress, std::unique_ptr<unsigned char[]>> m_blocks;
};

template <typename Function>
Function AsFunction(ModuleAddress address) {
    return reinterpret_cast<Function>(static_cast<std::uintptr_t>(address));
}

// One declaration of the scripted module.
struct ScriptedPin {
    const char* name;
    std::int32_t direction;
    std::int32_t datatype;
    std::uint32_t flags = 0;
    void* variable = nullptr;
};

// An audio object whose processing routine, event handler and open are the
// test's; it declares `pins`.
struct ScriptedAudio {
    ScriptedLibrary library;
    AudioPlugRecord record{};
    std::vector<ScriptedPin> pins;
    std::function<void()> on_open = [] {};
    std::function<void()> on_process = [] {};
    std::function<void(const ModuleEvent&)> on_event = [](const ModuleEvent&) {};

    ScriptedAudio() {
        record.magic = AUDIO_PLUG_MAGIC;
        record.version = 1;
        record.object = &record;
        record.dispatcher = AsFunction<PlugDispatcher>(library.Add([this](const auto& arguments) -> std::uint64_t {
            const auto opcode = static_cast<std::int32_t>(arguments[1]);
            const auto index = static_cast<std::int32_t>(arguments[2]);
            if (opcode == AUDIO_OPEN) on_open();
            if (opcode != AUDIO_GET_PIN_PROPERTIES) return 0;
            if (index < 0 || index >= static_cast<std::int32_t>(pins.size())) return 0;
            auto* properties = reinterpret_cast<SEPinProperties*>(static_cast<std::uintptr_t>(arguments[4]));
            properties->variable_ptr = pins[index].variable;
            properties->direction = pins[index].direction;
            properties->datatype = pins[index].datatype;
            properties->name = pins[index].name;
            properties->flags = pins[index].flags;
            return 1;
        }));
        record.process = AsFunction<ProcessRoutine>(library.Add([this](auto&) {
            on_process();
            return 0;
        }));
        record.event_handler = AsFunction<EventRoutine>(library.Add([this](const auto& arguments) {
            on_event(*reinterpret_cast<const ModuleEvent*>(static_cast<std::uintptr_t>(arguments[1])));
            return 0;
        }));
        const ModuleAddress make = library.Add([this](const auto& arguments) {
            record.host_value = static_cast<std::intptr_t>(arguments[3]);
            return reinterpret_cast<std::uint64_t>(&record);
        });
        library.SetExports(library.Add([](auto&) { return 0; }), make);
    }
    std::int64_t Ask(std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0, ModuleAddress ptr = 0) {
        return library.CallBack(reinterpret_cast<ModuleAddress>(&record), opcode, ptr, index, value);
    }
    void Queue(std::uint32_t time_stamp, std::int32_t type) {
        ModuleEvent event{};
        event.time_stamp = time_stamp;
        event.event_type = type;
        Ask(AUDIO_HOST_ADD_EVENT, 0, 0, reinterpret_cast<ModuleAddress>(&event));
    }
};
