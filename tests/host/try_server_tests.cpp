// `semhost try`'s server, in-process on the real Quillmark.sem, through raw
// sockets and WebSocket clients of its own: what it refuses, what it closes,
// and that whatever else connects, the driving page's actions are taken and
// answered. Waits are bounded only so that a broken server fails rather than
// hangs; no result depends on how fast this machine is.
#include "commands/try/try_service.h"
#include "commands/try/try_session.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

const std::string kQuillmark = QUILL_WIN32_DIR "/Quillmark.sem";
// How long a test waits for what must come, at most.
constexpr auto kPatience = 20s;
enum { MOUSE_DOWN = 0, RESET_VALUE = 1, INTERVAL = 2, POSITION = 3 };

// `semhost try` on Quillmark.sem, served from a thread of the test's.
class TryRun {
public:
    explicit TryRun(TryServerLimits limits = {}) {
        std::promise<std::pair<int, std::string>> listening;
        auto ready = listening.get_future();
        m_thread = std::thread([this, limits, &listening] {
            TryServiceOptions options;
            options.limits = limits;
            m_code = ServeTry(kQuillmark, Panel{}, options, m_out, m_err, [this] { return m_stop.load(); },
                              [&listening](int port, const std::string& token) { listening.set_value({port, token}); });
        });
        const auto [port, token] = ready.get();
        this->port = port;
        this->token = token;
        host = "127.0.0.1:" + std::to_string(port);
        origin = "http://" + host;
    }
    ~TryRun() { Stop(); }
    int Stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        return m_code;
    }
    std::string output() const { return m_out.str(); }

    int port = 0;
    std::string token;
    std::string host;
    std::string origin;

private:
    std::atomic<bool> m_stop{false};
    std::ostringstream m_out;
    std::ostringstream m_err;
    int m_code = -1;
    std::thread m_thread;
};

// Runs the io_context until `done` or the patience runs out.
bool RunUntil(asio::io_context& io, const std::function<bool()>& done, std::chrono::milliseconds patience = kPatience) {
    const auto until = std::chrono::steady_clock::now() + patience;
    while (!done() && std::chrono::steady_clock::now() < until) {
        io.restart();
        io.run_for(20ms);
    }
    return done();
}

// A socket that writes what it is told and reads what comes back.
class RawClient {
public:
    explicit RawClient(int port) : m_socket(m_io) {
        m_socket.connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(port)));
    }
    bool Write(const std::string& bytes) {
        beast::error_code error;
        asio::write(m_socket, asio::buffer(bytes), error);
        return !error;
    }
    // The answer's status, or 0 when the connection ended without one.
    int Status() {
        const std::string answer = ReadUntilClosedOr("\r\n\r\n");
        if (answer.rfind("HTTP/1.1 ", 0) != 0) return 0;
        return std::stoi(answer.substr(9, 3));
    }
    // Whether the server closed the connection (within the patience).
    bool Closed(std::chrono::milliseconds patience = kPatience) {
        ReadUntilClosedOr("", patience);
        return m_closed;
    }
    std::string received() const { return m_received; }

private:
    std::string ReadUntilClosedOr(const std::string& end, std::chrono::milliseconds patience = kPatience) {
        bool reading = false;
        std::array<char, 4096> chunk{};
        std::function<void()> read = [&] {
            reading = true;
            m_socket.async_read_some(asio::buffer(chunk), [&](beast::error_code error, std::size_t size) {
                reading = false;
                m_received.append(chunk.data(), size);
                if (error) m_closed = true;
                else if (end.empty() || m_received.find(end) == std::string::npos) read();
            });
        };
        read();
        RunUntil(m_io, [&] { return m_closed || (!end.empty() && m_received.find(end) != std::string::npos); },
                 patience);
        if (reading) {
            beast::error_code ignored;
            m_socket.cancel(ignored);
            RunUntil(m_io, [&] { return !reading; });
        }
        return m_received;
    }

    asio::io_context m_io;
    tcp::socket m_socket;
    std::string m_received;
    bool m_closed = false;
};

std::string Get(const TryRun& run, const std::string& target, const std::string& more_headers = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: " + run.host + "\r\n" + more_headers + "\r\n";
}

// A page's WebSocket, as the page opens it.
class PageClient {
public:
    PageClient(const TryRun& run, const std::string& tab, const std::string& origin, std::string token)
        : m_ws(m_io) {
        beast::get_lowest_layer(m_ws).connect(
            tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(run.port)));
        m_ws.set_option(websocket::stream_base::decorator([origin](websocket::request_type& request) {
            if (!origin.empty()) request.set(http::field::origin, origin);
        }));
        websocket::response_type response;
        beast::error_code error;
        m_ws.handshake(response, run.host, "/socket?token=" + token + "&tab=" + tab, error);
        status = error ? 0 : static_cast<int>(response.result_int());
        m_ws.read_message_max(64u << 20);
    }
    PageClient(const TryRun& run, const std::string& tab) : PageClient(run, tab, run.origin, run.token) {}

    bool open() const { return status == 101; }
    void Send(const nlohmann::json& message) { m_ws.write(asio::buffer(message.dump())); }
    // The next message the predicate takes, skipping others; null when none
    // came within the patience or the socket closed.
    nlohmann::json WaitFor(const std::function<bool(const nlohmann::json&)>& wanted) {
        while (true) {
            bool done = false;
            beast::error_code failure;
            m_ws.async_read(m_buffer, [&](beast::error_code error, std::size_t) {
                failure = error;
                done = true;
            });
            if (!RunUntil(m_io, [&] { return done; })) {
                beast::get_lowest_layer(m_ws).cancel();
                RunUntil(m_io, [&] { return done; });
                return nullptr;
            }
            if (failure) return nullptr;
            nlohmann::json message = nlohmann::json::parse(beast::buffers_to_string(m_buffer.data()));
            m_buffer.consume(m_buffer.size());
            ++received;
            if (wanted(message)) return message;
        }
    }
    nlohmann::json WaitForType(const std::string& type) {
        return WaitFor([&](const nlohmann::json& message) { return message["type"] == type; });
    }
    // The role message that comes first.
    std::string Role() {
        const nlohmann::json role = WaitForType("role");
        return role.is_null() ? "" : role["role"].get<std::string>();
    }
    // Sets a pin, stamped `t`, and waits for the update that shows `text`.
    bool SetAndShow(int pin, const nlohmann::json& value, double t, const std::string& text) {
        Send({{"op", "set"}, {"pin", pin}, {"value", value}, {"t", t}});
        return !WaitFor([&](const nlohmann::json& message) {
                    for (const nlohmann::json& changed : message.value("pins", nlohmann::json::array()))
                        if (changed["index"] == pin && changed["text"] == text) return true;
                    return false;
                }).is_null();
    }
    void Close() {
        beast::error_code ignored;
        m_ws.close(websocket::close_code::going_away, ignored);
    }

    int status = 0;
    int received = 0;

private:
    asio::io_context m_io;
    websocket::stream<beast::tcp_stream> m_ws;
    beast::flat_buffer m_buffer;
};

// The answer to a WebSocket upgrade the server refuses.
int UpgradeStatus(const TryRun& run, const std::string& tab, const std::string& origin, const std::string& token) {
    RawClient client(run.port);
    client.Write(Get(run, "/socket?token=" + token + "&tab=" + tab,
                     (origin.empty() ? "" : "Origin: " + origin + "\r\n") +
                         "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"));
    return client.Status();
}

double WallMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST(TryServer, RefusesWhatIsNotItsOwnPage) {
    TryRun run;
    const std::string page = "/?token=" + run.token;
    const auto status = [&](const std::string& request) {
        RawClient client(run.port);
        client.Write(request);
        return client.Status();
    };
    EXPECT_EQ(status(Get(run, page)), 200);
    EXPECT_EQ(status("GET " + page + " HTTP/1.1\r\nHost: " + run.host + "\r\nHost: evil.example\r\n\r\n"), 400);
    EXPECT_EQ(status("GET " + page + " HTTP/1.1\r\nHost: " + run.host + "\r\nHost: " + run.host + "\r\n\r\n"), 400);
    EXPECT_EQ(status(Get(run, page, std::string("X-Note: a\0b\r\n", 13))), 400);
    EXPECT_EQ(status(Get(run, page, "X-Note: a\x01z\r\n")), 400);
    EXPECT_EQ(status("GET " + page + " HTTP/1.1\r\nHost: localhost:" + std::to_string(run.port) + "\r\n\r\n"), 403);
    EXPECT_EQ(status("GET " + page + " HTTP/1.1\r\n\r\n"), 400);
    EXPECT_EQ(status(Get(run, "/")), 403);
    EXPECT_EQ(status(Get(run, "/?token=" + std::string(32, '0'))), 403);
    // Pages of other sites, with the token: the page, and its socket.
    EXPECT_EQ(status(Get(run, page, "Origin: http://evil.example\r\n")), 403);
    EXPECT_EQ(status(Get(run, page, "Sec-Fetch-Site: cross-site\r\n")), 403);
    EXPECT_EQ(status(Get(run, page, "Sec-Fetch-Site: same-site\r\n")), 403);
    EXPECT_EQ(UpgradeStatus(run, "a1", "http://evil.example", run.token), 403);
    EXPECT_EQ(UpgradeStatus(run, "a1", "null", run.token), 403);
    EXPECT_EQ(UpgradeStatus(run, "a1", "", run.token), 403);
    EXPECT_EQ(UpgradeStatus(run, "a1", run.origin, std::string(32, 'f')), 403);
    EXPECT_EQ(UpgradeStatus(run, "a-1", run.origin, run.token), 400);
    EXPECT_FALSE(PageClient(run, "a1", "http://evil.example", run.token).open());
    EXPECT_EQ(UpgradeStatus(run, "a1", run.origin, run.token), 101);
    // Nothing but the socket changes anything.
    EXPECT_EQ(status("POST " + page + " HTTP/1.1\r\nHost: " + run.host + "\r\nContent-Length: 2\r\n\r\n{}"), 405);
    EXPECT_EQ(status("GARBAGE\r\n\r\n"), 400);
    // The page loads nothing from elsewhere, and nothing inline.
    RawClient client(run.port);
    client.Write(Get(run, page));
    client.Status();
    EXPECT_NE(client.received().find("Content-Security-Policy: default-src 'none'; script-src 'self'; "
                                     "style-src 'self';"),
              std::string::npos)
        << client.received();
    EXPECT_EQ(client.received().find("unsafe-inline"), std::string::npos);
    EXPECT_EQ(run.Stop(), 0);
}

TEST(TryServer, AChunkedBodyIsHeldToSixteenKiB) {
    TryRun run;
    RawClient client(run.port);
    client.Write("POST /?token=" + run.token + " HTTP/1.1\r\nHost: " + run.host + "\r\nTransfer-Encoding: chunked\r\n\r\n");
    // 64 MiB in chunks of 64 KiB; the server stops reading after 16 KiB.
    const std::string chunk = "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
    std::size_t sent = 0;
    for (int i = 0; i < 1024 && client.Write(chunk); ++i) sent += 0x10000;
    EXPECT_LT(sent, 64u << 20);
    EXPECT_EQ(client.Status(), 413);
    EXPECT_TRUE(client.Closed());
    EXPECT_EQ(run.Stop(), 0);
}

TEST(TryServer, SlowClientsAreClosedWhileTheDrivingPageIsAnswered) {
    TryServerLimits limits;
    limits.request_deadline = 500ms;
    TryRun run(limits);
    PageClient driver(run, "driver");
    ASSERT_EQ(driver.Role(), "driver");
    // 64 clients that each send the start of a header and then a byte now
    // and then, never the end.
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 64; ++i) {
        slow.push_back(std::make_unique<RawClient>(run.port));
        slow.back()->Write("GET / HTTP/1.1\r\nX-Slow: ");
    }
    const double t = WallMs();
    EXPECT_TRUE(driver.SetAndShow(RESET_VALUE, 0.5, t, "0.5"));
    // A page loaded meanwhile gets in: the oldest slow client makes room.
    RawClient reload(run.port);
    reload.Write(Get(run, "/?token=" + run.token));
    EXPECT_EQ(reload.Status(), 200);
    EXPECT_TRUE(driver.SetAndShow(RESET_VALUE, 0.75, t + 1, "0.75"));
    for (auto& client : slow) {
        client->Write("x");
        EXPECT_TRUE(client->Closed());
    }
    EXPECT_EQ(run.Stop(), 0);
}

TEST(TryServer, ExtraPagesTakeNothingFromTheDrivingPage) {
    TryRun run;
    auto driver = std::make_unique<PageClient>(run, "driver");
    ASSERT_EQ(driver->Role(), "driver");
    // 32 more sockets with the token: those that fit watch, the rest are
    // refused; none drives.
    std::vector<std::unique_ptr<PageClient>> extra;
    int watching = 0;
    for (int i = 0; i < 32; ++i) {
        extra.push_back(std::make_unique<PageClient>(run, "extra" + std::to_string(i)));
        if (!extra.back()->open()) {
            EXPECT_EQ(UpgradeStatus(run, "extra", run.origin, run.token), 503);
            continue;
        }
        EXPECT_EQ(extra.back()->Role(), "viewer");
        ++watching;
    }
    EXPECT_EQ(watching, TryServerLimits{}.max_pages - 1);
    const double t = WallMs();
    EXPECT_TRUE(driver->SetAndShow(RESET_VALUE, 0.5, t, "0.5"));
    // A watching page's action is refused, with the reason.
    extra[0]->Send({{"op", "set"}, {"pin", RESET_VALUE}, {"value", 0.9}, {"t", t}});
    const nlohmann::json refused = extra[0]->WaitForType("refused");
    ASSERT_FALSE(refused.is_null());
    EXPECT_EQ(refused["reason"], "another page drives the module; this one only watches");
    // The driving tab reloads while they are open: it drives again.
    driver->Close();
    driver = std::make_unique<PageClient>(run, "driver");
    ASSERT_TRUE(driver->open());
    EXPECT_EQ(driver->Role(), "driver");
    EXPECT_TRUE(driver->SetAndShow(RESET_VALUE, 0.25, t + 1, "0.25"));
    extra.clear();
    EXPECT_TRUE(driver->SetAndShow(RESET_VALUE, 0.125, t + 2, "0.125"));
    EXPECT_EQ(run.Stop(), 0);
}

TEST(TryServer, ManyPageLoadsLeaveTheDriverDriving) {
    TryRun run;
    PageClient driver(run, "driver");
    ASSERT_EQ(driver.Role(), "driver");
    const double t = WallMs();
    for (int i = 0; i < 100; ++i) {
        RawClient load(run.port);
        load.Write(Get(run, "/?token=" + run.token));
        EXPECT_EQ(load.Status(), 200);
        PageClient page(run, "load" + std::to_string(i));
        EXPECT_EQ(page.Role(), "viewer");
        page.Send({{"op", "set"}, {"pin", RESET_VALUE}, {"value", i}, {"t", t}});
    }
    EXPECT_TRUE(driver.SetAndShow(RESET_VALUE, 0.5, t, "0.5"));
    EXPECT_EQ(run.Stop(), 0);
}

TEST(TryServer, ALatePageGetsOneStateThenUpdates) {
    TryRun run;
    PageClient driver(run, "driver");
    ASSERT_EQ(driver.Role(), "driver");
    ASSERT_FALSE(driver.WaitForType("state").is_null());
    const double t = WallMs();
    for (int i = 1; i <= 300; ++i) driver.Send({{"op", "set"}, {"pin", RESET_VALUE}, {"value", i}, {"t", t + i}});
    ASSERT_TRUE(driver.SetAndShow(RESET_VALUE, 0.5, t + 301, "0.5"));
    PageClient late(run, "late");
    EXPECT_EQ(late.Role(), "viewer");
    const nlohmann::json state = late.WaitForType("state");
    ASSERT_FALSE(state.is_null());
    EXPECT_EQ(late.received, 2);
    EXPECT_EQ(state["pins"][RESET_VALUE]["text"], "0.5");
    EXPECT_LE(state["lines"].size(), TrySession::kHistoryLines);
    // Then only what changes.
    driver.Send({{"op", "set"}, {"pin", RESET_VALUE}, {"value", 0.25}, {"t", t + 302}});
    // Updates of lines alone may come first; the pin's own update follows.
    const nlohmann::json update = late.WaitFor([](const nlohmann::json& message) {
        return message.value("type", "") == "update" && message.contains("pins") && !message["pins"].empty();
    });
    ASSERT_FALSE(update.is_null());
    EXPECT_EQ(update["pins"][0].value("text", ""), "0.25");
    EXPECT_EQ(run.Stop(), 0);
}

// A page that sends faster than the module takes its actions is read no
// further while they wait (the waiting actions are bounded), and every one
// is taken in its order.
TEST(TryServer, AFloodOfActionsIsTakenInOrder) {
    TryRun run;
    PageClient driver(run, "driver");
    ASSERT_EQ(driver.Role(), "driver");
    const double t = WallMs();
    for (int i = 1; i < 1000; ++i) driver.Send({{"op", "set"}, {"pin", RESET_VALUE}, {"value", i}, {"t", t}});
    EXPECT_TRUE(driver.SetAndShow(RESET_VALUE, 1000, t, "1000"));
    EXPECT_EQ(run.Stop(), 0);
    const std::string output = run.output();
    EXPECT_LT(output.find("set \"Reset Value\" = 999\n"), output.find("set \"Reset Value\" = 1000\n"));
}

// Two presses 101 ms apart, the second's message held back 300 ms: the
// session's clock never passes the newest time the page sent, so the
// module measures the gap the person made and resets the position.
TEST(TryServer, ALateMessageStillMakesADoubleClick) {
    TryRun run;
    PageClient driver(run, "driver");
    ASSERT_EQ(driver.Role(), "driver");
    const double t = WallMs();
    ASSERT_TRUE(driver.SetAndShow(RESET_VALUE, 0.25, t, "0.25"));
    ASSERT_TRUE(driver.SetAndShow(POSITION, 0.8, t, "0.8"));
    driver.Send({{"op", "set"}, {"pin", MOUSE_DOWN}, {"value", 1}, {"t", t + 1000}});
    driver.Send({{"op", "set"}, {"pin", MOUSE_DOWN}, {"value", 0}, {"t", t + 1020}});
    std::this_thread::sleep_for(300ms);  // the server idles meanwhile
    driver.Send({{"op", "set"}, {"pin", MOUSE_DOWN}, {"value", 1}, {"t", t + 1101}});
    EXPECT_FALSE(driver.WaitFor([](const nlohmann::json& message) {
                           for (const nlohmann::json& changed : message.value("pins", nlohmann::json::array()))
                               if (changed["index"] == POSITION && changed["text"] == "0.25") return true;
                           return false;
                       }).is_null());
    EXPECT_EQ(run.Stop(), 0);
    EXPECT_NE(run.output().find("set \"Mouse Down\" = 1"), std::string::npos);
}

}  // namespace
