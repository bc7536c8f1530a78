#include "SEGUI_base.h"

#include "SEPlatform.h"

#include <cstring>
#include <string>

namespace {

constexpr const char* kSourceFile = "SEGUI_base.cpp";
constexpr int kLineCallHostWithoutCallback = 134;

}  // namespace

// Constant-initialised, so no code runs for it when the library loads.
constinit GuiPinRef SEGUI_base::s_shared_pin(0, nullptr);

// ---------------------------------------------------------------------------
// GuiPinRef
// ---------------------------------------------------------------------------

void GuiPinRef::SetText(const std::string& text) const {
    m_owner->CallHost(GUI_HOST_SET_PIN_TEXT, m_index, 0, const_cast<char*>(text.c_str()), 0.0f);
}

std::string GuiPinRef::GetText() const {
    std::string result;
    const HostResult address = m_owner->CallHost(GUI_HOST_GET_PIN_TEXT, m_index, 0, nullptr, 0.0f);
    // A host without a text for the pin may answer null: that is an empty text.
    if (address != 0) result.assign(reinterpret_cast<const char*>(address));
    return result;
}

std::u16string GuiPinRef::GetWideText() const {
    // Two requests: the shared handle of GetPin may be re-aimed by a nested
    // notification during the first, so both use the pin named at the start.
    SEGUI_base* const owner = m_owner;
    const std::int32_t index = m_index;
    // The host's answer is a 32-bit count of 16-bit units, terminating zero
    // included, so anything below 1 holds no text.
    const auto size =
        static_cast<std::int32_t>(owner->CallHost(GUI_HOST_GET_PIN_WIDE_TEXT, index, 0, nullptr, 0.0f));
    if (size < 1) return std::u16string();
    // Allocated as GetText allocates: a failure passes to the caller. The
    // zeros stay where a host writes fewer units than it announced.
    std::u16string text(static_cast<std::size_t>(size), u'\0');
    owner->CallHost(GUI_HOST_GET_PIN_WIDE_TEXT, index, size, &text[0], 0.0f);
    // Stop at the first zero unit, or at the size given if the host left none.
    const std::size_t end = text.find(u'\0');
    if (end != std::u16string::npos) text.resize(end);
    return text;
}

// ---------------------------------------------------------------------------
// SEGUI_base
// ---------------------------------------------------------------------------

SEGUI_base::SEGUI_base(HostCallback callback, std::intptr_t host_value) : seaudioMaster(callback) {
    std::memset(&m_plug, 0, sizeof(m_plug));
    m_plug.magic = GUI_PLUG_MAGIC;
    m_plug.dispatcher = GuiDispatchEntry;
    m_plug.object = this;
    m_plug.host_value = host_value;
    m_plug.version = GUI_PLUG_VERSION;
}

SEGUI_base::~SEGUI_base() {}

HostResult SE_CALL SEGUI_base::Dispatch(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                                        float opt) {
    // The notification of a pin change is the host's most frequent call and
    // the one the module works in: it is answered before the table of the
    // others, with none of their set-up.
    if (opcode != GUI_PIN_CHANGED) return DispatchOther(opcode, index, value, ptr, opt);
    GuiPinRef pin(index, this);
    PinValueChanged(pin);
    return 0;
}

HostResult SE_CALL SEGUI_base::DispatchOther(std::int32_t opcode, std::int32_t index, std::int32_t value,
                                             void* ptr, float opt) {
    HostResult result = 0;
    if (static_cast<std::uint32_t>(opcode) > GUI_INDEX_B) return result;
    switch (opcode) {
    case GUI_OPEN:
        Open(index == 1);
        break;
    case GUI_CLOSE:
        Close();
        delete this;  // nothing of the object is touched after this
        result = 1;
        break;
    case GUI_CONTEXT_INDEX:
        ContextIndexEvent(index, ptr);
        break;
    case GUI_POINT_A:
        PointEventA(ptr, opt, GuiPoint{index, value});
        break;
    case GUI_POINT_B:
        PointEventB(ptr, opt, GuiPoint{index, value});
        break;
    case GUI_POINT_C:
        PointEventC(ptr, opt, GuiPoint{index, value});
        break;
    case GUI_CONTEXT_VALUE:
        ContextValueEvent(value, index, ptr);
        break;
    case GUI_CONTEXT_A:
        ContextEventA(ptr);
        break;
    case GUI_CONTEXT_B:
        ContextEventB(ptr);
        break;
    case GUI_IDLE:
        result = Idle() ? 1 : 0;
        break;
    case GUI_INDEX_A:
        IndexEventA(index);
        break;
    case GUI_INDEX_B:
        IndexEventB(index);
        break;
    }
    return result;
}

void SEGUI_base::Open(bool) {}
void SEGUI_base::Close() {}
void SEGUI_base::ContextIndexEvent(std::int32_t, void*) {}
void SEGUI_base::PointEventA(void*, float, GuiPoint) {}
void SEGUI_base::PointEventB(void*, float, GuiPoint) {}
void SEGUI_base::PointEventC(void*, float, GuiPoint) {}
void SEGUI_base::ContextEventA(void*) {}
void SEGUI_base::ContextEventB(void*) {}
bool SEGUI_base::Idle() { return false; }
void SEGUI_base::IndexEventA(std::int32_t) {}
void SEGUI_base::IndexEventB(std::int32_t) {}
void SEGUI_base::ContextValueEvent(std::int32_t, std::int32_t, void*) {}
void SEGUI_base::PinValueChanged(GuiPinRef&) {}

HostResult SE_CALL SEGUI_base::ReportMissingCallback(void*, std::int32_t, std::int32_t, std::int32_t, void*, float) {
    platform::ReportAssertion("seaudioMaster", kSourceFile, kLineCallHostWithoutCallback);
    return 0;  // when the report returns, the host is not called
}

void SEGUI_base::SendIndexedRequest(std::int32_t index, std::int32_t value, void* ptr) {
    CallHost(GUI_HOST_INDEXED_REQUEST, index, value, ptr, 0.0f);
}

HostResult SEGUI_base::ContextRequestA(void* ptr) { return CallHost(GUI_HOST_CONTEXT_REQUEST_A, 0, 0, ptr, 0.0f); }

HostResult SEGUI_base::ContextRequestB(void* ptr) { return CallHost(GUI_HOST_CONTEXT_REQUEST_B, 0, 0, ptr, 0.0f); }

bool SEGUI_base::ContextQuery(void* ptr) { return CallHost(GUI_HOST_CONTEXT_QUERY, 0, 0, ptr, 0.0f) != 0; }

HostResult SE_CALL GuiDispatchEntry(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                    void* ptr, float opt) {
    SEGUI_base* object = static_cast<SEGUI_base*>(static_cast<GuiPlugRecord*>(record)->object);
    return object->Dispatch(opcode, index, value, ptr, opt);
}
