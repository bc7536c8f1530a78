#include "commands/try/try_service.h"

#include "commands/commands.h"
#include "commands/try/try_session.h"

#include <chrono>
#include <random>

namespace {

// While a page is open the GUI objects are idled this often.
constexpr auto kIdlePeriod = std::chrono::milliseconds(50);
// The picture of pins over time is sent at most this often, and only once
// the driving page has sent no action for as long: building and drawing it
// never holds up an action.
constexpr auto kPicturePeriod = std::chrono::milliseconds(1000);
// The scopes are sent at most this often.
constexpr auto kScopePeriod = std::chrono::milliseconds(50);
// Blocks run in a row before the session looks for an action again.
constexpr int kBlocksPerTurn = 4;

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

std::shared_ptr<const std::string> Text(const nlohmann::json& message) {
    return std::make_shared<const std::string>(message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

TryMessage::Kind KindOf(const nlohmann::json& message) {
    const std::string type = message.value("type", "");
    if (type == "state") return TryMessage::Kind::State;
    if (type == "picture") return TryMessage::Kind::Picture;
    return TryMessage::Kind::Update;
}

}  // namespace

int ServeTry(const std::string& file, const Panel& panel, const TryServiceOptions& options, std::ostream& out,
             std::ostream& err, const std::function<bool()>& stop,
             const std::function<void(int port, const std::string& token)>& listening) {
    TrySession session(file, panel, out, options.files);
    // A module that crashes, hangs or ends the process while starting is
    // shown on the page like any later fault, with a fresh copy offered; a
    // file or panel that cannot be used ends the command.
    if (session.Load(WallMilliseconds(), err) == EXIT_BAD_INPUT) {
        session.Finish(err);
        return EXIT_BAD_INPUT;
    }
    session.TakeMessages();  // no page is open yet: each gets a state

    const std::string token = NewToken();
    TryServer server(token, options.limits);
    std::string problem;
    if (!server.Listen(options.port, problem)) {
        err << "semhost: cannot listen on 127.0.0.1:" << options.port << ": " << problem << '\n';
        session.Finish(err);
        return EXIT_BAD_INPUT;
    }
    TryHub& hub = server.hub();
    server.Start();
    out << "semhost try: open http://127.0.0.1:" << server.port() << "/?token=" << token << "\n"
        << "semhost try: serving " << file << " until Ctrl-C\n";
    out.flush();
    if (listening) listening(server.port(), token);

    using Clock = std::chrono::steady_clock;
    auto next_idle = Clock::now() + kIdlePeriod;
    auto last_action = Clock::now();
    auto last_picture = Clock::now() - kPicturePeriod;
    auto last_scope = Clock::now() - kScopePeriod;
    TryPageId listener = 0;
    while (!stop()) {
        // Blocks to run: the session waits for nothing. Otherwise it waits
        // for an action, a state request or the next idle round (a played
        // count from the listening page is an action).
        const bool blocks_due = session.WantsBlock(hub.PagesOpen());
        if (std::optional<TryAction> action = hub.Next(blocks_due ? Clock::now() : next_idle)) {
            const std::string refused = session.Act(action->action, WallMilliseconds());
            if (!refused.empty())
                hub.Send(TryMessage{TryMessage::Kind::Refused, action->page,
                                    Text({{"type", "refused"}, {"reason", refused}})});
            if (refused.empty() && action->action.value("op", "") == "listen") listener = action->page;
            if (action->action.value("op", "") != "played") last_action = Clock::now();
        } else if (Clock::now() >= next_idle) {
            if (hub.PagesOpen())
                if (const std::optional<double> page_clock = hub.PageClock(WallMilliseconds())) session.Idle(*page_clock);
            next_idle = Clock::now() + kIdlePeriod;
        }
        // Only the driving page listens: when it goes, the sound stops.
        if (session.listening() && hub.DriverPage() != listener) session.StopListening();
        for (int i = 0; i < kBlocksPerTurn && session.WantsBlock(hub.PagesOpen()) && !hub.ActionWaiting(); ++i)
            session.RunBlock();
        std::vector<TryMessage> messages;
        for (const nlohmann::json& message : session.TakeMessages())
            messages.push_back(TryMessage{KindOf(message), 0, Text(message)});
        for (std::string& frame : session.TakeListenedBlocks())
            messages.push_back(TryMessage{TryMessage::Kind::Audio, listener,
                                          std::make_shared<const std::string>(std::move(frame)), true});
        if (Clock::now() - last_scope >= kScopePeriod) {
            const nlohmann::json scopes = session.TakeScopes();
            if (!scopes.is_null()) {
                messages.push_back(TryMessage{TryMessage::Kind::Scope, 0, Text(scopes)});
                last_scope = Clock::now();
            }
        }
        hub.Send(std::move(messages));
        // A page that connected, or fell behind, gets the session as it
        // stands, then the updates after it.
        const std::vector<TryPageId> asking = hub.TakeStateRequests();
        if (!asking.empty()) {
            const auto state = Text(session.State());
            for (const TryPageId page : asking) hub.Send(TryMessage{TryMessage::Kind::State, page, state});
        }
        const auto now = Clock::now();
        if (now - last_action >= kPicturePeriod && now - last_picture >= kPicturePeriod && !hub.ActionWaiting()) {
            const nlohmann::json picture = session.TakePicture(WallMilliseconds(), 0.0);
            if (!picture.is_null()) {
                hub.Send(TryMessage{TryMessage::Kind::Picture, 0, Text(picture)});
                last_picture = now;
            }
        }
    }

    out << "semhost try: stopping\n";
    hub.Stop();
    server.Stop();
    session.PrintPinValues(out);
    const int code = session.Finish(err);
    out << "semhost try: the module was closed and unloaded\n";
    out.flush();
    return code;
}
