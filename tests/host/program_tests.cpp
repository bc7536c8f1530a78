// The semhost program as a person runs it, in a process of its own: what
// an interrupt does to a session, and that a module's own output never
// reaches semhost's.
#include "semhost_test_support.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

// semhost started with `args`, its output read through pipes. It leads a
// process group of its own, as a shell's foreground job does, so that a
// signal can reach every process of it as a terminal's Ctrl-C does.
class Program {
public:
    explicit Program(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setpgid(0, 0);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
            std::vector<char*> argv{const_cast<char*>(SEMHOST_PROGRAM)};
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(SEMHOST_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::setpgid(m_pid, m_pid);  // before the child's own call, too: no race
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~Program() {
        if (m_pid > 0) {
            ::kill(-m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        for (int fd : {m_out, m_err})
            if (fd >= 0) ::close(fd);
    }

    bool started() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    const std::string& out() const { return m_out_text; }
    const std::string& err() const { return m_err_text; }

    // Reads until the output holds `text` (true) or both streams end.
    bool ReadUntil(const std::string& text) {
        while (m_out_text.find(text) == std::string::npos) {
            if (!ReadSome()) return false;
        }
        return true;
    }

    // Reads both streams to their end and reaps the program: its exit code.
    int Finish() {
        while (ReadSome()) {
        }
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    // One read from whichever stream has data; false once both ended.
    bool ReadSome() {
        pollfd watched[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        if (m_out < 0 && m_err < 0) return false;
        if (::poll(watched, 2, -1) < 0) return errno == EINTR;
        for (int i = 0; i < 2; ++i) {
            if (watched[i].revents == 0) continue;
            int& fd = i == 0 ? m_out : m_err;
            char buffer[4096];
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0) {
                ::close(fd);
                fd = -1;
                continue;
            }
            (i == 0 ? m_out_text : m_err_text).append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
    std::string m_out_text, m_err_text;
};

// A session that waits for an hour, on the real clock, after a pin change.
std::string WaitingScript() {
    return WriteScratchFile("waits.script",
                            "set Level 1.5\n# waiting to be interrupted\nwait 3600000\nset Level 2\n");
}

TEST(Program, AnInterruptDuringPlayClosesTheObjectsAndPrintsThePinValues) {
    const struct {
        int signal_number;
        bool whole_group;  // Ctrl-C at a terminal reaches the module's process too
        int code;
        const char* name;
    } cases[] = {{SIGINT, true, 130, "SIGINT"}, {SIGTERM, false, 143, "SIGTERM"}};
    for (const auto& interrupt : cases) {
        SCOPED_TRACE(interrupt.name);
        Program semhost({"play", FixturePath("good"), WaitingScript()});
        ASSERT_TRUE(semhost.started());
        // The timeline reaches the wait before the signal is sent: no guess
        // of how long loading takes.
        ASSERT_TRUE(semhost.ReadUntil("wait 3600000 ms\n")) << semhost.out() << semhost.err();
        ::kill(interrupt.whole_group ? -semhost.pid() : semhost.pid(), interrupt.signal_number);
        EXPECT_EQ(semhost.Finish(), interrupt.code) << semhost.out() << semhost.err();
        const std::string& out = semhost.out();
        const std::size_t heading = out.find(std::string("-- interrupted by ") + interrupt.name);
        EXPECT_NE(heading, std::string::npos) << out;
        EXPECT_NE(out.find("host -> gui#1  GUI_CLOSE", heading), std::string::npos) << out;
        EXPECT_NE(out.find("host -> audio#1  AUDIO_CLOSE", heading), std::string::npos) << out;
        EXPECT_NE(out.find("pin values at the end:\n  \"Mouse Down\" = 0\n  \"Level\" = 1.5\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("set \"Level\" = 2"), std::string::npos) << out;
        EXPECT_EQ(semhost.err(), "semhost: " + FixturePath("good") + ": interrupted by " + interrupt.name +
                                     "; the objects were closed as a host closes them\n");
    }
}

TEST(Program, AModulesOwnOutputNeverBecomesSemhosts) {
    // glibc reports the double free on standard error before it aborts the
    // module's process; semhost reports the fault in its own words alone.
    Program validate({"validate", FixturePath("double_free"), "--cycles", "1", "--seed", "1"});
    ASSERT_TRUE(validate.started());
    EXPECT_EQ(validate.Finish(), 1) << validate.out() << validate.err();
    EXPECT_EQ(validate.err(), "semhost: " + FixturePath("double_free") +
                                  ": 2 checks failed (gui-life-cycle, random-session)\n");
    EXPECT_EQ(validate.out().find("double free detected"), std::string::npos) << validate.out();
    EXPECT_EQ(validate.out().find("free():"), std::string::npos) << validate.out();
}

}  // namespace
