#include "support/devtools_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/websocket.hpp>

#include <csignal>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

namespace beast = boost::beast;
namespace net = boost::asio;
using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::filesystem::path NewFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qeff-chromium-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a folder for the browser");
    return pattern;
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
                                     "--disable-component-update", "--disable-sync", "--remote-debugging-port=0",
                                     dataDir, "about:blank"};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);  // its helpers are stopped with it
    posix_spawnattr_setpgroup(&attributes, 0);
    const int failed = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed) {
        pid_ = -1;
        std::filesystem::remove_all(folder_);
        throw std::runtime_error("cannot start " + program.string());
    }
    // The port it chose, in its user data folder once it listens.
    for (const auto until = Clock::now() + 20s; Clock::now() < until; std::this_thread::sleep_for(20ms)) {
        std::ifstream file(folder_ / "DevToolsActivePort");
        std::string port, path;
        if (std::getline(file, port) && std::getline(file, path) && !port.empty()) {
            port_ = static_cast<std::uint16_t>(std::stoi(port));
            browserPath_ = path;
            return;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
    }
    Stop();
    throw std::runtime_error(program.string() + " did not open its DevTools port");
}

HeadlessChromium::~HeadlessChromium() { Stop(); }

void HeadlessChromium::Stop() {
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

// The WebSocket, read and written asynchronously but only while a call of
// this client runs the I/O on the caller's thread.
struct DevToolsClient::Connection {
    net::io_context io;
    beast::websocket::stream<beast::tcp_stream> socket{io};
    beast::flat_buffer buffer;
    bool reading = false;
    beast::error_code failure;
    std::deque<json> inbox;

    void Read() {
        reading = true;
        socket.async_read(buffer, [this](beast::error_code error, std::size_t) {
            reading = false;
            if (error) {
                failure = error;
                return;
            }
            inbox.push_back(json::parse(beast::buffers_to_string(buffer.data())));
            buffer.consume(buffer.size());
        });
    }
    // Runs the I/O until `done` or `until`.
    void RunUntil(const std::function<bool()>& done, Clock::time_point until) {
        while (!done() && !failure && Clock::now() < until) {
            if (!reading)
                Read();
            io.restart();
            io.run_one_until(until);
        }
        if (failure)
            throw std::runtime_error("the DevTools connection failed: " + failure.message());
    }
};

DevToolsClient::DevToolsClient(const HeadlessChromium& browser) : connection_(std::make_unique<Connection>()) {
    net::ip::tcp::resolver resolver(connection_->io);
    const auto where = resolver.resolve("127.0.0.1", std::to_string(browser.Port()));
    beast::get_lowest_layer(connection_->socket).connect(*where.begin());
    connection_->socket.handshake("127.0.0.1:" + std::to_string(browser.Port()), browser.BrowserPath());
    connection_->socket.text(true);
}

DevToolsClient::~DevToolsClient() {
    beast::error_code ignored;
    beast::get_lowest_layer(connection_->socket).socket().close(ignored);
}

void DevToolsClient::Send(const json& message) {
    const std::string text = message.dump();
    bool written = false;
    connection_->socket.async_write(net::buffer(text), [&](beast::error_code error, std::size_t) {
        written = true;
        if (error)
            connection_->failure = error;
    });
    connection_->RunUntil([&] { return written; }, Clock::now() + 10s);
    if (!written)
        throw std::runtime_error("a DevTools message could not be written");
}

json DevToolsClient::Next(Clock::time_point until) {
    connection_->RunUntil([&] { return !connection_->inbox.empty(); }, until);
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
    std::vector<std::uint8_t> png(beast::detail::base64::decoded_size(data.size()));
    const auto [written, read] = beast::detail::base64::decode(png.data(), data.data(), data.size());
    (void)read;
    png.resize(written);
    return png;
}
