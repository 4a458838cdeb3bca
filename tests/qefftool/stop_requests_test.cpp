// The real qefftool as a service manager, a terminal and a pipe stop it: the
// station is started as its own process and sent what they send.

#include "qefftool/exit_codes.h"
#include "support/package_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <csignal>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// qefftool started with `arguments`, its stdout and stderr each read from a pipe.
class StationProcess {
public:
    explicit StationProcess(const std::vector<std::string>& arguments) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            std::vector<char*> argv{const_cast<char*>(QEFFTOOL_PROGRAM)};
            for (const std::string& a : arguments)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(QEFFTOOL_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~StationProcess() {
        if (pid_ > 0 && !ended_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (const int fd : {out_, err_})
            if (fd >= 0)
                ::close(fd);
    }

    // Reads stdout until `text` has come, for up to 10 s.
    bool WaitFor(const std::string& text) {
        for (const auto until = Clock::now() + 10s; Clock::now() < until;) {
            if (out.find(text) != std::string::npos)
                return true;
            if (!ReadSome(out_, out, 100ms))
                std::this_thread::sleep_for(10ms);
        }
        return out.find(text) != std::string::npos;
    }
    // Waits up to 10 s for the program to end and reads what is left; its wait status.
    int Ended() {
        int status = -1;
        for (const auto until = Clock::now() + 10s; Clock::now() < until && !ended_;) {
            ReadSome(out_, out, 20ms);
            ReadSome(err_, err, 0ms);
            ended_ = ::waitpid(pid_, &status, WNOHANG) == pid_;
        }
        while (ReadSome(out_, out, 0ms) || ReadSome(err_, err, 0ms)) {
        }
        return ended_ ? status : -1;
    }
    pid_t Pid() const { return pid_; }
    void CloseStdout() {
        ::close(out_);
        out_ = -1;
    }

    std::string out, err;

private:
    static bool ReadSome(int fd, std::string& into, std::chrono::milliseconds bound) {
        if (fd < 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(bound.count())) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool ended_ = false;
};

// Faults caught: `systemctl stop` (SIGTERM) or a closed terminal or lost SSH
// session (SIGHUP) killing the station on the spot, with no summary and a
// line cut short, where Ctrl-C stops it cleanly; the exit code not saying so.
TEST(StopRequests, SigtermSighupAndSigintStopTheStationCleanly) {
    TempFolder folder;
    WriteBytes(folder / "p.qeff", BuildPackage(SamplePackage()));
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        StationProcess station({"watch", Utf8(folder / "p.qeff"), "--json"});
        ASSERT_TRUE(station.WaitFor("\"event\":\"watching\"")) << station.out << station.err;
        ::kill(station.Pid(), signal);
        const int status = station.Ended();
        ASSERT_TRUE(WIFEXITED(status)) << signal << ": ended by its signal\n" << station.out;
        EXPECT_EQ(WEXITSTATUS(status), ExitInterrupted) << signal;
        EXPECT_NE(station.out.find("\"event\":\"summary\""), std::string::npos) << signal << "\n" << station.out;
        EXPECT_EQ(station.out.back(), '\n') << signal << ": the last line whole";
    }
}

// Faults caught: SIGHUP stopping a station that has a token file, where it
// must read the token again (ending every browser's session) and go on; the
// one-time link written to the lines or to a file others may read.
TEST(StopRequests, SighupReadsTheTokenAgainWhenThereIsOne) {
    TempFolder folder;
    WriteBytes(folder / "p.qeff", BuildPackage(SamplePackage()));
    std::ofstream(folder / "token") << "a-token-of-twenty-chars\n";
    StationProcess station({"watch", Utf8(folder / "p.qeff"), "--json", "--http", "127.0.0.1:0", "--http-token",
                            Utf8(folder / "token"), "--login-link-file", Utf8(folder / "link")});
    ASSERT_TRUE(station.WaitFor("\"event\":\"watching\"")) << station.out << station.err;
    ::kill(station.Pid(), SIGHUP);
    ASSERT_TRUE(station.WaitFor("\"caption\":\"Token\"")) << station.out << station.err;
    ::kill(station.Pid(), SIGTERM);
    const int status = station.Ended();
    ASSERT_TRUE(WIFEXITED(status)) << station.out;
    EXPECT_EQ(WEXITSTATUS(status), ExitInterrupted);
    EXPECT_EQ(station.out.find("key="), std::string::npos) << station.out;
    std::ifstream link(folder / "link");
    std::string line;
    std::getline(link, line);
    EXPECT_NE(line.find("/login?key="), std::string::npos) << line;
    EXPECT_EQ(std::filesystem::status(folder / "link").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// Fault caught: a pipe whose reader has gone (`qefftool watch ... | head`)
// killing the station with SIGPIPE, mid-upgrade and with nothing said, where
// it must say so and end with its own exit code.
TEST(StopRequests, APipeWithoutItsReaderEndsTheStationWithItsExitCode) {
    TempFolder folder;
    WriteBytes(folder / "p.qeff", BuildPackage(SamplePackage()));
    StationProcess station({"watch", Utf8(folder / "p.qeff"), "--json"});
    station.CloseStdout();
    const int status = station.Ended();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), ExitOutput);
    EXPECT_NE(station.err.find("the output cannot be written"), std::string::npos) << station.err;
}

}  // namespace
