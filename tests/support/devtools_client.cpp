#include "support/devtools_client.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::filesystem::path NewFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qeff-chromium-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a folder for the browser");
    return pattern;
}

// A descriptor moved above the three standard ones and the two the browser
// reads and writes, closed on exec: the spawn puts its end where it belongs.
int Above4(int fd) {
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    close(fd);
    return moved;
}

}  // namespace

std::optional<std::filesystem::path> HeadlessChromium::Program() {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin";
    for (std::size_t at = 0; at <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', at), folders.size());
        const std::filesystem::path candidate = std::filesystem::path(folders.substr(at, end - at)) / "chromium";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = end + 1;
    }
    return std::nullopt;
}

HeadlessChromium::HeadlessChromium(const std::filesystem::path& program) : folder_(NewFolder()) {
    const std::string dataDir = "--user-data-dir=" + folder_.string();
    std::vector<std::string> args = {program.string(), "--headless=new", "--no-sandbox", "--disable-gpu",
                                     "--disable-quic", "--no-first-run", "--disable-background-networking",
                                     "--disable-component-update", "--disable-sync", "--remote-debugging-pipe",
                                     dataDir, "about:blank"};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // A socket rather than two pipes: a write to a browser that has gone then
    // fails rather than raising SIGPIPE.
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        std::filesystem::remove_all(folder_);
        throw std::runtime_error("cannot make the browser's pipe");
    }
    for (int& end : ends)
        end = Above4(end);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 3);  // its commands
    posix_spawn_file_actions_adddup2(&actions, ends[1], 4);  // its answers
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);  // its helpers are stopped with it
    posix_spawnattr_setpgroup(&attributes, 0);
    const int failed = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(ends[1]);
    pipe_ = ends[0];
    fcntl(pipe_, F_SETFL, O_NONBLOCK);  // ours alone: the browser reads its end blocking
    if (failed) {
        pid_ = -1;
        Stop();
        throw std::runtime_error("cannot start " + program.string());
    }
}

HeadlessChromium::~HeadlessChromium() { Stop(); }

void HeadlessChromium::Stop() {
    if (pipe_ >= 0) {
        close(pipe_);  // the end of its commands: the browser closes
        pipe_ = -1;
    }
    if (pid_ > 0) {
        kill(-pid_, SIGTERM);
        int status = 0;
        bool ended = false;
        for (const auto until = Clock::now() + 5s; !ended && Clock::now() < until; std::this_thread::sleep_for(10ms))
            ended = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

// The browser's pipes, read only while a call of this client runs, on the
// caller's thread.
struct DevToolsClient::Connection {
    int pipe;
    std::string partial;  // an answer's bytes before its NUL
    std::deque<json> inbox;

    // Reads what the browser wrote until an answer is whole or `until`.
    void ReadUntil(Clock::time_point until) {
        while (inbox.empty()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            pollfd ready{pipe, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) == 0)
                return;
            char chunk[65536];
            const ssize_t n = read(pipe, chunk, sizeof chunk);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                throw std::runtime_error("the browser ended");
            for (ssize_t i = 0; i < n; ++i) {
                if (chunk[i] != '\0') {
                    partial += chunk[i];
                    continue;
                }
                inbox.push_back(json::parse(partial));
                partial.clear();
            }
        }
    }
};

DevToolsClient::DevToolsClient(const HeadlessChromium& browser)
    : connection_(std::make_unique<Connection>(Connection{browser.Pipe(), {}, {}})) {
    Call("Browser.getVersion");  // answered once the browser is up
}

DevToolsClient::~DevToolsClient() = default;

void DevToolsClient::Send(const json& message) {
    const std::string text = message.dump() + '\0';
    const auto until = Clock::now() + 10s;
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n = send(connection_->pipe, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        pollfd ready{connection_->pipe, POLLOUT, 0};
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || left.count() <= 0 ||
            poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            throw std::runtime_error("a DevTools message could not be written");
    }
}

json DevToolsClient::Next(Clock::time_point until) {
    connection_->ReadUntil(until);
    if (connection_->inbox.empty())
        return nullptr;
    json message = std::move(connection_->inbox.front());
    connection_->inbox.pop_front();
    return message;
}

// Answers a dialog at once: the page (and the click that opened it) waits for it.
void DevToolsClient::Notice(const json& event) {
    if (event.value("method", "") != "Page.javascriptDialogOpening")
        return;
    dialogs.push_back(event["params"].value("message", ""));
    Send({{"id", ++nextId_},
          {"method", "Page.handleJavaScriptDialog"},
          {"params", {{"accept", answerDialogs}}},
          {"sessionId", event["sessionId"]}});
}

json DevToolsClient::Call(const std::string& method, const json& params, const Session& session) {
    const int id = ++nextId_;
    json message = {{"id", id}, {"method", method}, {"params", params}};
    if (!session.empty())
        message["sessionId"] = session;
    Send(message);
    const auto until = Clock::now() + 20s;
    for (json reply = Next(until); !reply.is_null(); reply = Next(until)) {
        if (reply.contains("method"))
            Notice(reply);
        else if (reply.value("id", 0) == id) {
            if (reply.contains("error"))
                throw std::runtime_error(method + ": " + reply["error"].dump());
            return reply["result"];
        }
    }
    throw std::runtime_error(method + ": no answer within 20 s");
}

DevToolsClient::Session DevToolsClient::OpenTab(const std::string& url, int width, int height, bool ownBrowser) {
    json target = {{"url", "about:blank"}};
    if (ownBrowser)
        target["browserContextId"] = Call("Target.createBrowserContext")["browserContextId"];
    target = Call("Target.createTarget", target)["targetId"];
    const Session tab = Call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}})["sessionId"];
    Call("Page.enable", json::object(), tab);
    Call("Runtime.enable", json::object(), tab);
    Call("Emulation.setDeviceMetricsOverride",
         {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}}, tab);
    Call("Page.navigate", {{"url", url}}, tab);
    if (!WaitUntil(tab, "document.readyState === 'complete'"))
        throw std::runtime_error(url + " did not load");
    return tab;
}

void DevToolsClient::CloseTab(const Session& tab) { Call("Page.close", json::object(), tab); }

json DevToolsClient::Evaluate(const Session& tab, const std::string& expression) {
    const json result = Call("Runtime.evaluate",
                             {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}}, tab);
    if (result.contains("exceptionDetails"))
        throw std::runtime_error(expression + " threw " + result["exceptionDetails"].dump());
    return result["result"].value("value", json());
}

bool DevToolsClient::WaitUntil(const Session& tab, const std::string& expression, std::chrono::milliseconds within) {
    for (const auto until = Clock::now() + within;; std::this_thread::sleep_for(20ms)) {
        if (Evaluate(tab, "Boolean(" + expression + ")") == true)
            return true;
        if (Clock::now() >= until)
            return false;
    }
}

void DevToolsClient::Click(const Session& tab, const std::string& selector) {
    const json box = Evaluate(tab, "(() => { const e = document.querySelector(" + json(selector).dump() +
                                       "); if (!e) return null; e.scrollIntoView({block: 'center'});"
                                       " const r = e.getBoundingClientRect();"
                                       " return r.width && r.height ? {x: r.x + r.width / 2, y: r.y + r.height / 2} : null; })()");
    if (box.is_null())
        throw std::runtime_error("nothing shown at " + selector + " to click");
    const double x = box["x"], y = box["y"];
    Call("Input.dispatchMouseEvent", {{"type", "mouseMoved"}, {"x", x}, {"y", y}}, tab);
    for (const char* type : {"mousePressed", "mouseReleased"})
        Call("Input.dispatchMouseEvent",
             {{"type", type}, {"x", x}, {"y", y}, {"button", "left"}, {"buttons", 1}, {"clickCount", 1}}, tab);
}

std::vector<std::uint8_t> DevToolsClient::Screenshot(const Session& tab) {
    const std::string data = Call("Page.captureScreenshot", {{"format", "png"}}, tab)["data"];
    std::vector<std::uint8_t> png(data.size() / 4 * 3);
    const int decoded = EVP_DecodeBlock(png.data(), reinterpret_cast<const unsigned char*>(data.data()),
                                        static_cast<int>(data.size()));
    if (decoded < 0)
        throw std::runtime_error("the screenshot is no base64");
    // The padding decodes as zeros at the end.
    const std::size_t padding = data.size() - std::min(data.size(), data.find_last_not_of('=') + 1);
    png.resize(static_cast<std::size_t>(decoded) - padding);
    return png;
}
