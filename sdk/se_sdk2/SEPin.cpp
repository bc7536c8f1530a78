#include "SEPin.h"

#include "SEPlatform.h"
#include "SEProtocol.h"

#include <cstring>

namespace {

constexpr const char* kSourceFile = "SEPin.cpp";
constexpr int kLineStatusInThePast = 77;
constexpr int kLineCurrentSampleType = 125;

}  // namespace

void SEPin::Init(SEPinOwner* module, std::int32_t index, std::int32_t datatype, void* variable) {
    m_module = module;
    m_pinindex = index;
    m_datatype = datatype;
    m_variable = variable;
    m_status = 0;
    std::memset(&m_storage, 0, sizeof(m_storage));
    if (variable != nullptr) return;  // the value lives in the module's variable

    switch (datatype) {
    case DT_SHORT:
    case DT_BOOL:
    case DT_FLOAT:
    case DT_INT:
        m_variable = &m_storage;  // zero, as cleared above
        break;
    case DT_FSAMPLE:
        // The pin is complete (with no buffer yet) before the host is asked:
        // the host may call into the module before it answers.
        m_variable = &m_storage;
        // The buffer's address is asked once; the pin keeps it.
        m_storage.sample_buffer =
            reinterpret_cast<float*>(m_module->PinRequest(AUDIO_HOST_GET_PIN_BUFFER, index, 0, nullptr));
        break;
    default:
        break;  // no value of the pin's own: m_variable stays null
    }
}

HostResult SEPin::SendPinData(void* ptr, std::int32_t value) {
    return m_module->PinRequest(AUDIO_HOST_PIN_DATA, m_pinindex, value, ptr);
}

HostResult SEPin::TransmitStatus(std::uint32_t sampleclock, std::int32_t status) {
    if (SampleClockBefore(sampleclock, m_module->PinSampleClock())) {
        platform::ReportAssertion("sampleclock >= m_module->SampleClock()", kSourceFile,
                                  kLineStatusInThePast);
        return 0;  // a report that returns sends nothing: the host never gets a status in the past
    }
    // The sample clock travels in ptr.
    return m_module->PinRequest(AUDIO_HOST_SET_PIN_STATUS, m_pinindex, status,
                                reinterpret_cast<void*>(static_cast<std::uintptr_t>(sampleclock)));
}

void SEPin::StatusFromHost(std::int32_t status) {
    m_status = status;
    m_module->OnPinStatusChange(this);
    if (status == PS_ONCE) m_status = 0;  // told once, then gone
}

bool SEPin::QueryPin() { return m_module->PinRequest(AUDIO_HOST_QUERY_PIN, m_pinindex, 0, nullptr) != 0; }

float SEPin::CurrentSample() {
    if (m_datatype != DT_FSAMPLE) {
        platform::ReportAssertion("m_datatype == DT_FSAMPLE", kSourceFile, kLineCurrentSampleType);
        return 0.0f;  // a report that returns reads no buffer
    }
    const auto block_start = static_cast<std::uint32_t>(
        m_module->PinRequest(AUDIO_HOST_GET_BLOCK_START, m_pinindex, 0, nullptr));
    const std::uint32_t now = m_module->PinSampleClock();
    const float* buffer = *static_cast<float* const*>(m_variable);
    if (buffer == nullptr) return 0.0f;  // the host gave no buffer
    // The buffer holds one block: a clock outside it would read past its end.
    const std::uint32_t offset = now - block_start;
    const std::int32_t block_size = m_module->BlockSize();
    if (block_size <= 0 || offset >= static_cast<std::uint32_t>(block_size)) return 0.0f;
    return buffer[offset];
}

