#include "hosting/modifier_keys.h"

#include "SEPlatform.h"

static_assert(kModifierKeys[1].virtual_key == platform::kVirtualKeyControl,
              "the module reads Ctrl under the framework's key code");

const ModifierKey* FindModifierKey(const std::string& name) {
    std::string lower = name;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const ModifierKey& key : kModifierKeys)
        if (lower == key.name) return &key;
    return nullptr;
}

const ModifierKey* FindModifierKey(int virtual_key) {
    for (const ModifierKey& key : kModifierKeys)
        if (virtual_key == key.virtual_key) return &key;
    return nullptr;
}
