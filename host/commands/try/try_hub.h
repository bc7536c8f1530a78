// Where the server's thread and the session's thread of `semhost try` meet.
//
// The server hands over the driving page's actions, in the order the page
// sent them, and asks for a page's state; the session's thread takes them
// one at a time and hands back messages for every page or for one. Nothing
// here grows without bound: the actions waiting are capped (the server
// stops reading the driving page while they are at the cap), messages
// leave as soon as the server's thread runs, and nothing is kept for pages
// that connect later (they are sent a state).
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Pages are numbered by the server from 1; 0 is every page.
using TryPageId = std::uint64_t;

struct TryAction {
    TryPageId page = 0;
    nlohmann::json action;
};

struct TryMessage {
    // Pictures and scopes are left out for a page still busy with other
    // messages; audio goes to the listening page alone, as binary.
    enum class Kind { State, Update, Picture, Refused, Scope, Audio };
    Kind kind = Kind::Update;
    TryPageId page = 0;  // for one page, or 0 for every page
    std::shared_ptr<const std::string> text;
    bool binary = false;
};

class TryHub {
public:
    // Actions waiting at most; the server reads the driving page again once
    // half of them were taken.
    static constexpr std::size_t kMaxWaitingActions = 256;

    // `wake_server` is called, from the session's thread, when messages are
    // ready and when the server may read actions again; it must only post
    // work to the server's thread.
    explicit TryHub(std::function<void()> wake_server);

    // --- the server's side ---
    // Returns false when the server is to stop reading the page until it is
    // woken: the action is taken either way.
    bool Submit(TryAction action);
    // The newest time the driving page stamped a message with (an event's
    // time or its clock), milliseconds since 1970; see TrySession::Idle.
    void NoteDriverClock(double page_ms);
    // `driver`: the driving page, 0 when none drives.
    void SetPages(int open, TryPageId driver);
    void RequestState(TryPageId page);
    bool MayReadActions();
    std::vector<TryMessage> TakeMessages();

    // --- the session's side ---
    // Waits until an action or a state request is there, `until` passes or
    // Stop is called. Returns the action, if one came.
    std::optional<TryAction> Next(std::chrono::steady_clock::time_point until);
    bool ActionWaiting();
    std::vector<TryPageId> TakeStateRequests();
    // The page clock the session idles to: the driving page's newest stamp,
    // or `wall_ms` while no page drives; nothing while the driving page has
    // not sent one yet.
    std::optional<double> PageClock(double wall_ms);
    bool PagesOpen();
    TryPageId DriverPage();
    void Send(TryMessage message);
    void Send(std::vector<TryMessage> messages);

    void Stop();
    bool stopped();

private:
    void WakeServerLocked(std::unique_lock<std::mutex>& lock);

    std::function<void()> m_wake_server;
    std::mutex m_mutex;
    std::condition_variable m_wake_session;
    std::deque<TryAction> m_actions;
    bool m_reading_paused = false;
    std::vector<TryPageId> m_state_requests;
    std::vector<TryMessage> m_outbox;
    bool m_server_woken = false;  // a wake-up is on its way; no need for another
    std::optional<double> m_driver_clock;
    int m_pages = 0;
    TryPageId m_driver = 0;
    bool m_stopped = false;
};
