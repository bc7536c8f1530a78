// `semhost try FILE [PANEL] [--port N]`: the module behind a page in the
// browser. A web server on 127.0.0.1 takes the page's actions and streams
// the session back as Server-Sent Events; the session itself runs on this
// thread alone, as every session does.
#include "commands/commands.h"
#include "commands/try/panel.h"
#include "commands/try/try_page.h"
#include "commands/try/try_session.h"

#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace {

// While a page is open the GUI objects are idled this often.
constexpr auto kIdlePeriod = std::chrono::milliseconds(50);
// The session's picture is sent again at most this often.
constexpr double kPicturePeriodMs = 1000.0;
// The largest request body taken; an action is a few dozen bytes.
constexpr std::size_t kMaxBody = 16 * 1024;
// Actions: a burst this large, then this many per second.
constexpr double kActionBurst = 2000.0;
constexpr double kActionsPerSecond = 1000.0;
// Event streams open at once; each holds one of the server's threads.
constexpr int kMaxStreams = 8;
constexpr int kServerThreads = kMaxStreams + 8;
// Actions that may wait for one that came late, and how long they wait.
constexpr std::int64_t kMaxHeld = 256;
constexpr auto kGapWait = std::chrono::milliseconds(1000);
// Page loads whose action numbers are kept.
constexpr std::size_t kMaxLoads = 16;
// Messages kept for streams that fall behind; past it they start afresh.
constexpr std::size_t kMaxBacklog = 4096;

std::atomic<bool> g_stop_requested{false};

extern "C" void OnStopSignal(int) { g_stop_requested = true; }

double WallMilliseconds() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string NewToken() {
    std::random_device random;
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 32; ++i) token += kHex[random() & 15u];
    return token;
}

// Compares without stopping at the first difference, so that the time an
// answer takes tells nothing of the token.
bool SameToken(const std::string& given, const std::string& token) {
    if (given.size() != token.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ token[i]);
    return difference == 0;
}

// An action waiting for the session's thread, and its answer: "" when it
// was taken, else why it is malformed.
struct Job {
    nlohmann::json action;
    std::promise<std::string> answer;
    std::chrono::steady_clock::time_point since;
};

// What the server's threads and the session's thread share.
class Hub {
public:
    // --- actions, from the server to the session ---
    // The page numbers its actions from 1 on each load ("load" names it) and
    // sends them without waiting for each other, so they may arrive out of
    // order: they are handed on in their order. Returns false for a number
    // already handed on or too far ahead.
    bool Submit(nlohmann::json action, const std::string& load, std::int64_t sequence,
                std::future<std::string>& answer) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_loads.count(load)) {
            // Loads of pages long gone are forgotten, the oldest first.
            if (m_load_order.size() >= kMaxLoads) {
                m_loads.erase(m_load_order.front());
                m_load_order.pop_front();
            }
            m_load_order.push_back(load);
        }
        LoadQueue& queue = m_loads[load];
        if (sequence < queue.expected || sequence >= queue.expected + kMaxHeld || queue.held.count(sequence))
            return false;
        auto job = std::make_unique<Job>();
        job->action = std::move(action);
        job->since = std::chrono::steady_clock::now();
        answer = job->answer.get_future();
        queue.held.emplace(sequence, std::move(job));
        HandOnLocked(queue, false);
        return true;
    }
    // An action whose predecessor never came (its request failed) waits
    // this long; then the gap is skipped.
    void SkipGaps() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& [load, queue] : m_loads) HandOnLocked(queue, true);
    }
    // The next action, or null after `timeout` or once stopped.
    std::unique_ptr<Job> NextJob(std::chrono::steady_clock::time_point until) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait_until(lock, until, [this] { return !m_jobs.empty() || g_stop_requested; });
        if (m_jobs.empty()) return nullptr;
        std::unique_ptr<Job> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        return job;
    }
    bool TakeActionAllowance() {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - m_last_refill).count();
        m_allowance = std::min(kActionBurst, m_allowance + seconds * kActionsPerSecond);
        m_last_refill = now;
        if (m_allowance < 1.0) return false;
        m_allowance -= 1.0;
        return true;
    }

    struct LoadQueue {
        std::int64_t expected = 1;
        std::map<std::int64_t, std::unique_ptr<Job>> held;  // actions that came before their predecessors
    };

    void HandOnLocked(LoadQueue& queue, bool skip_stale) {
        const auto now = std::chrono::steady_clock::now();
        while (!queue.held.empty()) {
            auto first = queue.held.begin();
            if (first->first != queue.expected) {
                if (!skip_stale || now - first->second->since < kGapWait) break;
                queue.expected = first->first;
            }
            m_jobs.push_back(std::move(first->second));
            queue.held.erase(first);
            ++queue.expected;
        }
        m_wake.notify_all();
    }

    // --- messages, from the session to every page ---
    void Publish(const nlohmann::json& message) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool state = message["type"] == "state";
        m_log.push_back({m_next_sequence, message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)});
        if (state) m_state_sequence = m_next_sequence;
        ++m_next_sequence;
        // Older messages are only needed by streams that fell behind; those
        // start again from the newest state.
        while (m_log.size() > kMaxBacklog && m_log.front().first < m_state_sequence) m_log.pop_front();
        if (state)
            while (!m_log.empty() && m_log.front().first < m_state_sequence) m_log.pop_front();
        m_wake.notify_all();
    }
    // The messages from `next` on, waiting up to `timeout` for one; `next`
    // moves past them. A stream that fell behind starts at the newest state.
    std::vector<std::string> Messages(std::uint64_t& next, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait_for(lock, timeout, [&] { return next < m_next_sequence || m_closed; });
        if (m_log.empty() || next < m_log.front().first) next = m_state_sequence;
        std::vector<std::string> messages;
        for (const auto& [sequence, text] : m_log)
            if (sequence >= next) messages.push_back(text);
        next = m_next_sequence;
        return messages;
    }

    // --- pages: one drives, the others watch ---
    // A stream opens for page `page`: its role, or "" when too many are open.
    std::string OpenStream(const std::string& page) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_streams >= kMaxStreams) return "";
        ++m_streams;
        ++m_page_streams[page];
        if (m_driver.empty()) m_driver = page;
        return m_driver == page ? "driver" : "viewer";
    }
    void CloseStream(const std::string& page) {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_streams;
        if (--m_page_streams[page] == 0) {
            m_page_streams.erase(page);
            if (m_driver == page) m_driver.clear();
        }
    }
    bool Drives(const std::string& page) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !page.empty() && page == m_driver;
    }
    bool PageOpen() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_streams > 0;
    }

    void Close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_wake.notify_all();
    }
    bool closed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_closed;
    }
    void WakeSession() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wake.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::unique_ptr<Job>> m_jobs;
    std::map<std::string, LoadQueue> m_loads;
    std::deque<std::string> m_load_order;
    std::deque<std::pair<std::uint64_t, std::string>> m_log;
    std::uint64_t m_next_sequence = 0;
    std::uint64_t m_state_sequence = 0;
    int m_streams = 0;
    std::map<std::string, int> m_page_streams;
    std::string m_driver;
    bool m_closed = false;
    double m_allowance = kActionBurst;
    std::chrono::steady_clock::time_point m_last_refill = std::chrono::steady_clock::now();
};

void Answer(httplib::Response& response, int status, const std::string& text) {
    response.status = status;
    response.set_content(text + "\n", "text/plain; charset=utf-8");
}

// A page id: letters and digits, as the page makes them.
bool ValidPageId(const std::string& page) {
    if (page.empty() || page.size() > 64) return false;
    for (const char c : page)
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

void Serve(httplib::Server& server, Hub& hub, const std::string& token, int port) {
    const std::string host = "127.0.0.1:" + std::to_string(port);
    server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    server.set_payload_max_length(kMaxBody);
    server.set_keep_alive_max_count(1000);
    // Ctrl-C waits for idle connections to time out; keep that short.
    server.set_keep_alive_timeout(1);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    // Only a page this server gave out, on this address, gets anything: the
    // Host header keeps out pages of other sites that reach 127.0.0.1
    // under a name of their own, the token everything else on the machine.
    server.set_pre_routing_handler([host, token](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value("Host") != host || !SameToken(request.get_param_value("token"), token)) {
            Answer(response, 403, "forbidden: this server answers only its own page, with its token");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        Answer(response, 400, "bad request");
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_header("Content-Security-Policy",
                            "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                            "connect-src 'self'; img-src data:");
        response.set_content(TryPageHtml(), "text/html; charset=utf-8");
    });
    server.Get("/events", [&hub](const httplib::Request& request, httplib::Response& response) {
        const std::string page = request.get_param_value("page");
        if (!ValidPageId(page)) return Answer(response, 400, "events need a page id");
        const std::string role = hub.OpenStream(page);
        if (role.empty()) return Answer(response, 503, "too many pages are open");
        response.set_header("Cache-Control", "no-store");
        // The first message says whether this page drives the module; then
        // the session from its newest state on.
        auto next = std::make_shared<std::uint64_t>(0);
        auto greeted = std::make_shared<bool>(false);
        response.set_chunked_content_provider(
            "text/event-stream",
            [&hub, role, next, greeted](std::size_t, httplib::DataSink& sink) {
                if (hub.closed()) {
                    sink.done();
                    return true;
                }
                std::string chunk;
                if (!*greeted) {
                    *greeted = true;
                    chunk += "data: {\"type\":\"role\",\"role\":\"" + role + "\"}\n\n";
                }
                for (const std::string& message : hub.Messages(*next, std::chrono::milliseconds(chunk.empty() ? 250 : 0)))
                    chunk += "data: " + message + "\n\n";
                // A comment now and then finds a page that went away.
                if (chunk.empty()) chunk = ":\n\n";
                return sink.write(chunk.data(), chunk.size());
            },
            [&hub, page](bool) { hub.CloseStream(page); });
    });
    server.Post("/action", [&hub](const httplib::Request& request, httplib::Response& response) {
        const nlohmann::json action = nlohmann::json::parse(request.body, nullptr, false);
        if (action.is_discarded() || !action.is_object() || !action.contains("op") || !action["op"].is_string() ||
            !action.contains("page") || !action["page"].is_string())
            return Answer(response, 400, "an action is a JSON object with an op and the page's id");
        if (!hub.Drives(action["page"].get<std::string>()))
            return Answer(response, 409, "another page drives the module; this one only watches");
        if (!action.contains("load") || !action["load"].is_string() || !action.contains("seq") ||
            !action["seq"].is_number_integer())
            return Answer(response, 400, "an action needs the page load's name and its number");
        if (!hub.TakeActionAllowance()) return Answer(response, 429, "too many actions; slow down");
        std::future<std::string> answer;
        if (!hub.Submit(action, action["load"].get<std::string>(), action["seq"].get<std::int64_t>(), answer))
            return Answer(response, 400, "an action out of its order");
        // A module that hangs holds its answer up to its time limit; the
        // page learns of it from the stream either way.
        if (answer.wait_for(std::chrono::seconds(2)) != std::future_status::ready)
            return Answer(response, 202, "taken");
        const std::string problem = answer.get();
        if (!problem.empty()) return Answer(response, 400, problem);
        response.status = 204;
    });
}

}  // namespace

int RunTry(const std::string& file, const std::string& panel_path, int port, std::ostream& out, std::ostream& err) {
    Panel panel;
    if (!panel_path.empty()) {
        std::string error;
        if (!ReadPanelFile(panel_path, panel, error)) {
            err << "semhost: " << error << '\n';
            return EXIT_BAD_INPUT;
        }
    }
    TrySession session(file, panel, out);
    // A module that crashes, hangs or ends the process while starting is
    // shown on the page like any later fault, with a fresh copy offered;
    // a file or panel that cannot be used ends the command.
    const int loaded = session.Load(WallMilliseconds(), err);
    if (loaded == EXIT_BAD_INPUT) {
        session.Finish(err);
        return loaded;
    }

    Hub hub;
    httplib::Server server;
    // Small answers and event messages leave at once, not after the
    // browser's delayed ACK: the connections the listening socket accepts
    // take its TCP_NODELAY.
    server.set_socket_options([](socket_t socket) {
        const int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    });
    const int bound = port == 0 ? server.bind_to_any_port("127.0.0.1") : (server.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) {
        err << "semhost: cannot listen on 127.0.0.1:" << port << '\n';
        session.Finish(err);
        return EXIT_BAD_INPUT;
    }
    const std::string token = NewToken();
    Serve(server, hub, token, bound);
    for (const nlohmann::json& message : session.TakeMessages()) hub.Publish(message);

    g_stop_requested = false;
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    struct sigaction old_int {}, old_term {}, old_pipe {};
    sigaction(SIGINT, &stop, &old_int);
    sigaction(SIGTERM, &stop, &old_term);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old_pipe);

    std::thread listener([&server] { server.listen_after_bind(); });
    out << "semhost try: open http://127.0.0.1:" << bound << "/?token=" << token << "\n"
        << "semhost try: serving " << file << " until Ctrl-C\n";
    out.flush();

    auto next_idle = std::chrono::steady_clock::now() + kIdlePeriod;
    while (!g_stop_requested) {
        std::unique_ptr<Job> job = hub.NextJob(next_idle);
        if (job) {
            job->answer.set_value(session.Act(job->action, WallMilliseconds()));
        } else if (std::chrono::steady_clock::now() >= next_idle) {
            hub.SkipGaps();
            if (hub.PageOpen()) session.Idle(WallMilliseconds());
            next_idle = std::chrono::steady_clock::now() + kIdlePeriod;
        }
        for (const nlohmann::json& message : session.TakeMessages()) hub.Publish(message);
        // The picture of pins over time grows as the session goes, redrawn
        // a few times a second at most.
        const nlohmann::json picture = session.TakePicture(WallMilliseconds(), kPicturePeriodMs);
        if (!picture.is_null()) hub.Publish(picture);
    }

    out << "semhost try: stopping\n";
    hub.Close();
    server.stop();
    listener.join();
    // Actions that came too late are answered, so that no thread waits.
    while (std::unique_ptr<Job> job = hub.NextJob(std::chrono::steady_clock::now()))
        job->answer.set_value("the server is stopping");
    const int code = session.Finish(err);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    sigaction(SIGPIPE, &old_pipe, nullptr);
    out << "semhost try: the module was closed and unloaded\n";
    return code;
}
