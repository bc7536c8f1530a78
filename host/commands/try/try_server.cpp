#include "commands/try/try_server.h"

#include "commands/try/try_page.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <optional>
#include <list>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// A WebSocket page that sends nothing for this long is sent a ping, and
// closed when another such time passes without an answer.
constexpr auto kPageIdleTimeout = std::chrono::seconds(20);
constexpr auto kPageHandshakeTimeout = std::chrono::seconds(10);
// A page with more than this waiting to be written is sent no scope.
constexpr std::size_t kBehindBytes = 64 * 1024;
// What a connection reads at most at a time.
constexpr std::size_t kReadBufferBytes = 64 * 1024;

using Request = http::request<http::string_body>;

// Compares without stopping at the first difference, so that the time an
// answer takes tells nothing of the token.
bool SameToken(std::string_view given, std::string_view token) {
    if (given.size() != token.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ token[i]);
    return difference == 0;
}

// A tab's id: letters and digits, as the page makes them.
bool ValidTabId(std::string_view tab) {
    if (tab.empty() || tab.size() > 64) return false;
    for (const char c : tab)
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

bool HasControlByte(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f) return true;
    }
    return false;
}

// The value of `name` in a query string ("a=1&b=2"), as given; "" when absent.
std::string_view QueryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const std::size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        const std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) return pair.substr(equals + 1);
        if (end == std::string_view::npos) break;
        query.remove_prefix(end + 1);
    }
    return {};
}

std::string_view ToView(beast::string_view text) { return {text.data(), text.size()}; }

}  // namespace

class TryServer::Impl {
public:
    class HttpConnection;
    class PageConnection;

    Impl(std::string token, TryServerLimits limits)
        : m_token(std::move(token)),
          m_limits(limits),
          m_hub([this] { asio::post(m_io, [this] { OnWake(); }); }) {}

    ~Impl() { Stop(); }

    bool Listen(int port, std::string& problem) {
        beast::error_code error;
        const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(port));
        m_acceptor.open(endpoint.protocol(), error);
        if (!error) m_acceptor.bind(endpoint, error);
        if (!error) m_acceptor.listen(asio::socket_base::max_listen_connections, error);
        if (error) {
            problem = error.message();
            return false;
        }
        m_port = m_acceptor.local_endpoint().port();
        m_host = "127.0.0.1:" + std::to_string(m_port);
        m_origin = "http://" + m_host;
        return true;
    }

    void Start() {
        Accept();
        m_thread = std::thread([this] { m_io.run(); });
    }

    void Stop() {
        if (!m_thread.joinable()) return;
        asio::post(m_io, [this] {
            m_stopping = true;
            beast::error_code ignored;
            m_acceptor.close(ignored);
            for (HttpConnection* connection : m_connections) CloseHttp(*connection);
            for (PageConnection* page : m_pages) ClosePage(*page);
            m_io.stop();
        });
        m_thread.join();
        // What was under way ends with the context, whose handlers still
        // hold the connections: they leave the lists below as they go.
        m_io.restart();
        m_io.poll();
    }

    int port() const { return m_port; }
    TryHub& hub() { return m_hub; }

    // --- what the connections call, on the server's thread ---
    std::list<HttpConnection*>::iterator RememberConnection(HttpConnection* connection);
    void ForgetConnection(std::list<HttpConnection*>::iterator slot);
    void Handle(HttpConnection& connection, Request request);
    bool AdmitPage(const std::string& tab);
    TryPageId NewPageId() { return m_next_page++; }
    void AddPage(PageConnection* page);
    void PageOpened(PageConnection& page);
    void PageClosed(PageConnection& page);
    void ForgetPage(PageConnection& page);
    // Returns false when the page is not to be read again until woken.
    bool PageMessage(PageConnection& page, const std::string& text);
    const TryServerLimits& limits() const { return m_limits; }
    asio::io_context& io() { return m_io; }

private:
    void Accept();
    void OnWake();
    void SendRoles();
    void UpdatePages();
    void CloseHttp(HttpConnection& connection);
    void ClosePage(PageConnection& page);
    void Refuse(PageConnection& page, const std::string& reason);

    const std::string m_token;
    const TryServerLimits m_limits;
    // The connections, oldest first. They are declared before the context:
    // connections that end with it leave these lists as they go.
    std::list<HttpConnection*> m_connections;
    std::list<PageConnection*> m_pages;
    PageConnection* m_driver = nullptr;
    std::string m_driver_tab;
    TryPageId m_next_page = 1;
    bool m_stopping = false;
    asio::io_context m_io{1};
    tcp::acceptor m_acceptor{m_io};
    asio::steady_timer m_accept_retry{m_io};
    TryHub m_hub;
    int m_port = 0;
    std::string m_host;
    std::string m_origin;
    std::thread m_thread;
};

// A connection until it becomes a page: its requests are read one at a
// time, each within the deadline, and answered.
class TryServer::Impl::HttpConnection : public std::enable_shared_from_this<HttpConnection> {
public:
    HttpConnection(Impl& server, tcp::socket socket)
        : m_server(server), m_stream(std::move(socket)), m_buffer(kReadBufferBytes) {}
    ~HttpConnection() {
        if (m_listed) m_server.ForgetConnection(m_slot);
    }

    void Start() {
        m_slot = m_server.RememberConnection(this);
        m_listed = true;
        ReadRequest();
    }
    // Leaves the server's list now; the connection ends as its reads do.
    void Unlist() {
        if (m_listed) m_server.ForgetConnection(m_slot);
        m_listed = false;
    }
    void Close() {
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        m_stream.close();
    }

    void Answer(http::status status, const std::string& text, bool close = false) {
        auto response = std::make_shared<http::response<http::string_body>>(status, m_version);
        response->set(http::field::content_type, "text/plain; charset=utf-8");
        response->body() = text + "\n";
        Send(response, close);
    }

    void SendFile(const TryPageFile& file, const std::string& csp) {
        auto response = std::make_shared<http::response<http::string_body>>(http::status::ok, m_version);
        response->set(http::field::content_type, beast::string_view(file.content_type.data(), file.content_type.size()));
        if (!csp.empty()) response->set("Content-Security-Policy", csp);
        response->body().assign(file.body.data(), file.body.size());
        Send(response, false);
    }

    // Hands the connection to a page's WebSocket; this one ends.
    void Upgrade(Request request, const std::string& tab);

private:
    void ReadRequest() {
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(m_server.limits().max_header_bytes));
        m_parser->body_limit(m_server.limits().max_body_bytes);
        m_stream.expires_after(m_server.limits().request_deadline);
        http::async_read(m_stream, m_buffer, *m_parser,
                         beast::bind_front_handler(&HttpConnection::OnRead, shared_from_this()));
    }

    void OnRead(beast::error_code error, std::size_t) {
        if (error == http::error::body_limit) return Answer(http::status::payload_too_large, "a body is 16 KiB at most", true);
        if (error == http::error::header_limit)
            return Answer(http::status::request_header_fields_too_large, "the header is too large", true);
        // A request that is no HTTP gets 400; a connection that ended, timed
        // out or was closed ends.
        if (error && error.category() == http::make_error_code(http::error::bad_target).category() &&
            error != http::error::end_of_stream && error != http::error::partial_message)
            return Answer(http::status::bad_request, "bad request", true);
        if (error) return Close();
        Request request = m_parser->release();
        m_version = request.version();
        m_keep_alive = request.keep_alive();
        m_server.Handle(*this, std::move(request));
    }

    template <class Response>
    void Send(const std::shared_ptr<Response>& response, bool close) {
        response->set(http::field::cache_control, "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        response->set("Referrer-Policy", "no-referrer");
        response->keep_alive(m_keep_alive && !close);
        response->prepare_payload();
        auto self = shared_from_this();
        http::async_write(m_stream, *response, [self, response](beast::error_code error, std::size_t) {
            if (error || !response->keep_alive()) return self->Close();
            self->ReadRequest();
        });
    }

    Impl& m_server;
    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    unsigned m_version = 11;
    bool m_keep_alive = false;
    std::list<HttpConnection*>::iterator m_slot;
    bool m_listed = false;
};

// An open page: its WebSocket reads the page's messages one at a time and
// writes the session's in order.
class TryServer::Impl::PageConnection : public std::enable_shared_from_this<PageConnection> {
public:
    PageConnection(Impl& server, beast::tcp_stream stream, std::string tab, TryPageId id)
        : m_server(server), m_ws(std::move(stream)), m_buffer(server.limits().max_message_bytes + 1024),
          m_tab(std::move(tab)), m_id(id) {}
    ~PageConnection() { m_server.ForgetPage(*this); }

    const std::string& tab() const { return m_tab; }
    TryPageId id() const { return m_id; }
    bool open() const { return m_open; }
    bool awaiting_state() const { return m_awaiting_state; }
    void set_awaiting_state(bool awaiting) { m_awaiting_state = awaiting; }
    bool idle() const { return m_queue.empty(); }
    // More waits than a few blocks of audio: the page is behind.
    bool behind() const { return m_queued_bytes > kBehindBytes; }

    void Accept(Request request) {
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = kPageHandshakeTimeout;
        timeout.idle_timeout = kPageIdleTimeout;
        timeout.keep_alive_pings = true;
        m_ws.set_option(timeout);
        m_ws.read_message_max(m_server.limits().max_message_bytes);
        m_ws.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::cache_control, "no-store");
        }));
        m_ws.async_accept(request, beast::bind_front_handler(&PageConnection::OnAccept, shared_from_this()));
    }

    void Send(std::shared_ptr<const std::string> text, bool binary = false) {
        if (!m_open) return;
        m_queued_bytes += text->size();
        m_queue.push_back({std::move(text), binary});
        if (m_queued_bytes > m_server.limits().max_queued_bytes) {
            // The page reads nothing: what waits is dropped (but the message
            // being written), and it is sent a state when it catches up.
            while (m_queue.size() > (m_writing ? 1u : 0u)) {
                m_queued_bytes -= m_queue.back().text->size();
                m_queue.pop_back();
            }
            m_awaiting_state = true;
            m_server.hub().RequestState(m_id);
            return;
        }
        if (!m_writing) Write();
    }

    void Resume() {
        if (m_open && m_paused) {
            m_paused = false;
            Read();
            m_held_while_paused.reset();
        }
    }

    void Close() {
        m_open = false;
        beast::error_code ignored;
        beast::get_lowest_layer(m_ws).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(m_ws).close();
        // Let go later, not while the server walks its list of pages.
        if (m_held_while_paused) asio::post(m_server.io(), [held = std::move(m_held_while_paused)] {});
    }

private:
    void OnAccept(beast::error_code error) {
        if (error) return;
        m_open = true;
        m_server.PageOpened(*this);
        Read();
    }

    void Read() {
        m_ws.async_read(m_buffer, beast::bind_front_handler(&PageConnection::OnRead, shared_from_this()));
    }

    void OnRead(beast::error_code error, std::size_t) {
        if (error) {
            if (m_open) {
                m_open = false;
                m_server.PageClosed(*this);
            }
            return;
        }
        std::string text = m_ws.got_text() ? beast::buffers_to_string(m_buffer.data()) : std::string();
        m_buffer.consume(m_buffer.size());
        if (m_server.PageMessage(*this, text)) return Read();
        // Not read until Resume: nothing else may hold the connection then.
        m_paused = true;
        m_held_while_paused = shared_from_this();
    }

    void Write() {
        m_writing = true;
        m_ws.text(!m_queue.front().binary);
        m_ws.async_write(asio::buffer(*m_queue.front().text),
                         beast::bind_front_handler(&PageConnection::OnWrite, shared_from_this()));
    }

    void OnWrite(beast::error_code error, std::size_t) {
        m_writing = false;
        if (error) return Close();
        m_queued_bytes -= m_queue.front().text->size();
        m_queue.pop_front();
        if (!m_queue.empty()) Write();
    }

    Impl& m_server;
    websocket::stream<beast::tcp_stream> m_ws;
    beast::flat_buffer m_buffer;
    std::string m_tab;
    TryPageId m_id;
    bool m_open = false;
    bool m_paused = false;
    bool m_awaiting_state = true;
    bool m_writing = false;
    struct Outgoing {
        std::shared_ptr<const std::string> text;
        bool binary = false;
    };
    std::deque<Outgoing> m_queue;
    std::size_t m_queued_bytes = 0;
    std::shared_ptr<PageConnection> m_held_while_paused;
};

void TryServer::Impl::HttpConnection::Upgrade(Request request, const std::string& tab) {
    if (!m_server.AdmitPage(tab)) return Answer(http::status::service_unavailable, "too many pages are open", true);
    Unlist();
    m_stream.expires_never();
    auto page = std::make_shared<PageConnection>(m_server, std::move(m_stream), tab, m_server.NewPageId());
    m_server.AddPage(page.get());
    page->Accept(std::move(request));
}

void TryServer::Impl::Accept() {
    m_acceptor.async_accept(m_io, [this](beast::error_code error, tcp::socket socket) {
        if (m_stopping) return;
        if (error) {
            // Out of descriptors, say: try again a little later, not at once.
            m_accept_retry.expires_after(std::chrono::milliseconds(50));
            m_accept_retry.async_wait([this](beast::error_code) {
                if (!m_stopping) Accept();
            });
            return;
        }
        beast::error_code ignored;
        // Small messages leave at once, not after the peer's delayed ACK.
        socket.set_option(tcp::no_delay(true), ignored);
        std::make_shared<HttpConnection>(*this, std::move(socket))->Start();
        Accept();
    });
}

std::list<TryServer::Impl::HttpConnection*>::iterator TryServer::Impl::RememberConnection(HttpConnection* connection) {
    while (static_cast<int>(m_connections.size()) >= m_limits.max_connections) {
        HttpConnection* oldest = m_connections.front();
        oldest->Unlist();
        oldest->Close();
    }
    return m_connections.insert(m_connections.end(), connection);
}

void TryServer::Impl::ForgetConnection(std::list<HttpConnection*>::iterator slot) { m_connections.erase(slot); }

void TryServer::Impl::CloseHttp(HttpConnection& connection) { connection.Close(); }

void TryServer::Impl::ClosePage(PageConnection& page) { page.Close(); }

void TryServer::Impl::Handle(HttpConnection& connection, Request request) {
    // Only a page this server gave out, on this address, gets anything: the
    // Host header keeps out pages of other sites that reach 127.0.0.1 under
    // a name of their own, Origin and Sec-Fetch-Site pages of other sites
    // that know the address, the token everything else on the machine.
    for (const auto& field : request) {
        if (HasControlByte(ToView(field.name_string())) || HasControlByte(ToView(field.value())))
            return connection.Answer(http::status::bad_request, "a header holds a control byte", true);
    }
    if (request.count(http::field::host) != 1)
        return connection.Answer(http::status::bad_request, "a request names its host once", true);
    if (ToView(request[http::field::host]) != m_host)
        return connection.Answer(http::status::forbidden, "forbidden: this server answers only its own page, with its token");
    const auto origin = request.find(http::field::origin);
    if (origin != request.end() && ToView(origin->value()) != m_origin)
        return connection.Answer(http::status::forbidden, "forbidden: a page of another site");
    const auto site = request.find("Sec-Fetch-Site");
    if (site != request.end() && site->value() != "same-origin" && site->value() != "none")
        return connection.Answer(http::status::forbidden, "forbidden: a request from another site");
    if (request.method() != http::verb::get)
        return connection.Answer(http::status::method_not_allowed, "only GET; actions go over the page's WebSocket");

    const std::string_view target = ToView(request.target());
    const std::size_t question = target.find('?');
    const std::string_view path = target.substr(0, question);
    const std::string_view query = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
    const TryPageFile* file = FindTryPageFile(path);
    if (file != nullptr && path != "/") return connection.SendFile(*file, "");
    if (!SameToken(QueryValue(query, "token"), m_token))
        return connection.Answer(http::status::forbidden, "forbidden: this server answers only its own page, with its token");
    if (path == "/") {
        // The page loads nothing but its own files and talks only to its
        // own WebSocket.
        return connection.SendFile(*file, "default-src 'none'; script-src 'self'; style-src 'self'; img-src data:; "
                                          "connect-src ws://" + m_host + "; base-uri 'none'; form-action 'none'; "
                                          "frame-ancestors 'none'");
    }
    if (path == "/socket") {
        if (!websocket::is_upgrade(request))
            return connection.Answer(http::status::bad_request, "the page's socket is a WebSocket");
        if (origin == request.end())
            return connection.Answer(http::status::forbidden, "forbidden: the page's socket is for its own page");
        const std::string tab(QueryValue(query, "tab"));
        if (!ValidTabId(tab)) return connection.Answer(http::status::bad_request, "the socket needs the tab's id");
        return connection.Upgrade(std::move(request), tab);
    }
    connection.Answer(http::status::not_found, "not found");
}

bool TryServer::Impl::AdmitPage(const std::string& tab) {
    if (m_stopping) return false;
    if (static_cast<int>(m_pages.size()) < m_limits.max_pages) return true;
    // A page that is to drive gets in: the oldest watching page makes room.
    if (m_driver != nullptr && tab != m_driver_tab) return false;
    for (PageConnection* page : m_pages) {
        if (page == m_driver) continue;
        ClosePage(*page);
        ForgetPage(*page);
        return true;
    }
    return false;
}

void TryServer::Impl::AddPage(PageConnection* page) { m_pages.push_back(page); }

void TryServer::Impl::PageOpened(PageConnection& page) {
    if (m_driver == nullptr || page.tab() == m_driver_tab) {
        m_driver = &page;
        m_driver_tab = page.tab();
    }
    SendRoles();
    m_hub.RequestState(page.id());
}

void TryServer::Impl::PageClosed(PageConnection& page) { ForgetPage(page); }

void TryServer::Impl::ForgetPage(PageConnection& page) {
    const auto found = std::find(m_pages.begin(), m_pages.end(), &page);
    if (found == m_pages.end()) return;
    m_pages.erase(found);
    const bool drove = m_driver == &page;
    if (drove) m_driver = nullptr;
    if (m_stopping) return;
    if (drove) SendRoles();
    else UpdatePages();
}

void TryServer::Impl::UpdatePages() {
    int open = 0;
    for (const PageConnection* page : m_pages) open += page->open() ? 1 : 0;
    m_hub.SetPages(open, m_driver != nullptr ? m_driver->id() : 0);
}

void TryServer::Impl::SendRoles() {
    for (PageConnection* page : m_pages) {
        if (!page->open()) continue;
        const nlohmann::json role = {{"type", "role"},
                                     {"role", page == m_driver ? "driver" : "viewer"},
                                     {"vacant", m_driver == nullptr}};
        page->Send(std::make_shared<const std::string>(role.dump()));
    }
    UpdatePages();
}

void TryServer::Impl::Refuse(PageConnection& page, const std::string& reason) {
    const nlohmann::json refused = {{"type", "refused"}, {"reason", reason}};
    page.Send(std::make_shared<const std::string>(refused.dump()));
}

bool TryServer::Impl::PageMessage(PageConnection& page, const std::string& text) {
    nlohmann::json message = nlohmann::json::parse(text, nullptr, false);
    if (message.is_discarded() || !message.is_object() || !message.contains("op") || !message["op"].is_string()) {
        Refuse(page, "a message is a JSON object with an op");
        return true;
    }
    const bool drives = &page == m_driver;
    std::optional<double> stamp;
    if (message.contains("t") && message["t"].is_number() && std::isfinite(message["t"].get<double>()))
        stamp = message["t"].get<double>();
    if (message["op"] == "clock") {
        if (!stamp) Refuse(page, "t is a time in ms");
        else if (drives) m_hub.NoteDriverClock(*stamp);
        return true;
    }
    if (!drives) {
        Refuse(page, "another page drives the module; this one only watches");
        return true;
    }
    // The action is waiting before its time is noted, so that the session's
    // clock never passes an action it has not been given.
    const bool go_on = m_hub.Submit(TryAction{page.id(), std::move(message)});
    if (stamp) m_hub.NoteDriverClock(*stamp);
    return go_on;
}

void TryServer::Impl::OnWake() {
    for (TryMessage& message : m_hub.TakeMessages()) {
        for (PageConnection* page : m_pages) {
            if (!page->open() || (message.page != 0 && message.page != page->id())) continue;
            if (message.kind == TryMessage::Kind::State) {
                page->set_awaiting_state(false);
            } else if (page->awaiting_state() && message.kind != TryMessage::Kind::Refused) {
                continue;  // the state it waits for holds this
            }
            // A picture is left out for a page still busy with other
            // messages, a scope for one behind with them.
            if (message.kind == TryMessage::Kind::Picture && !page->idle()) continue;
            if (message.kind == TryMessage::Kind::Scope && page->behind()) continue;
            page->Send(message.text, message.binary);
        }
    }
    if (m_hub.MayReadActions())
        for (PageConnection* page : m_pages) page->Resume();
}

TryServer::TryServer(std::string token, TryServerLimits limits)
    : m_impl(std::make_unique<Impl>(std::move(token), limits)) {}
TryServer::~TryServer() = default;
bool TryServer::Listen(int port, std::string& problem) { return m_impl->Listen(port, problem); }
int TryServer::port() const { return m_impl->port(); }
TryHub& TryServer::hub() { return m_impl->hub(); }
void TryServer::Start() { m_impl->Start(); }
void TryServer::Stop() { m_impl->Stop(); }
