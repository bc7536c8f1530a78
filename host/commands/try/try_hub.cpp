#include "commands/try/try_hub.h"

TryHub::TryHub(std::function<void()> wake_server) : m_wake_server(std::move(wake_server)) {}

bool TryHub::Submit(TryAction action) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_actions.push_back(std::move(action));
    m_wake_session.notify_one();
    if (m_actions.size() >= kMaxWaitingActions) m_reading_paused = true;
    return !m_reading_paused;
}

void TryHub::NoteDriverClock(double page_ms) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_driver_clock || page_ms > *m_driver_clock) m_driver_clock = page_ms;
}

void TryHub::SetPages(int open, TryPageId driver) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pages = open;
    // A new driving page starts its own clock; a stamp of the last one's
    // would let the session pass the new page's first events.
    if ((driver != 0) != (m_driver != 0)) m_driver_clock.reset();
    m_driver = driver;
}

void TryHub::RequestState(TryPageId page) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state_requests.push_back(page);
    m_wake_session.notify_one();
}

bool TryHub::MayReadActions() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_reading_paused;
}

std::vector<TryMessage> TryHub::TakeMessages() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_server_woken = false;
    std::vector<TryMessage> messages;
    messages.swap(m_outbox);
    return messages;
}

std::optional<TryAction> TryHub::Next(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake_session.wait_until(lock, until,
                              [this] { return !m_actions.empty() || !m_state_requests.empty() || m_stopped; });
    if (m_actions.empty()) return std::nullopt;
    TryAction action = std::move(m_actions.front());
    m_actions.pop_front();
    if (m_reading_paused && m_actions.size() <= kMaxWaitingActions / 2) {
        m_reading_paused = false;
        WakeServerLocked(lock);
    }
    return action;
}

bool TryHub::ActionWaiting() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_actions.empty();
}

std::vector<TryPageId> TryHub::TakeStateRequests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<TryPageId> requests;
    requests.swap(m_state_requests);
    return requests;
}

std::optional<double> TryHub::PageClock(double wall_ms) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_driver == 0) return wall_ms;
    return m_driver_clock;
}

bool TryHub::PagesOpen() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pages > 0;
}

TryPageId TryHub::DriverPage() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_driver;
}

void TryHub::Send(TryMessage message) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_outbox.push_back(std::move(message));
    WakeServerLocked(lock);
}

void TryHub::Send(std::vector<TryMessage> messages) {
    if (messages.empty()) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (TryMessage& message : messages) m_outbox.push_back(std::move(message));
    WakeServerLocked(lock);
}

void TryHub::WakeServerLocked(std::unique_lock<std::mutex>& lock) {
    // The server takes every message and looks at MayReadActions each time it
    // is woken, so one wake-up on its way is enough.
    if (m_server_woken) return;
    m_server_woken = true;
    lock.unlock();
    m_wake_server();
    lock.lock();
}

void TryHub::Stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopped = true;
    m_wake_session.notify_all();
}

bool TryHub::stopped() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopped;
}
