#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Debian's Chromium, started headless with a user data folder of its own and
// the DevTools protocol on its pipe (no port, nothing to connect to); stopped
// and its folder removed at the end.
class HeadlessChromium {
public:
    // Where the program is, when it is installed.
    static std::optional<std::filesystem::path> Program();

    explicit HeadlessChromium(const std::filesystem::path& program);  // throws when it does not come up
    ~HeadlessChromium();
    HeadlessChromium(const HeadlessChromium&) = delete;
    HeadlessChromium& operator=(const HeadlessChromium&) = delete;

    // Where the browser reads its commands and writes its answers and events,
    // each message ended by a NUL.
    int Pipe() const { return pipe_; }

private:
    void Stop();

    std::filesystem::path folder_;
    pid_t pid_ = -1;
    int pipe_ = -1;
};

// The one client of the DevTools protocol over the browser's pipes, with each
// tab a session of its own. Calls are answered in order on the caller's
// thread; a JavaScript dialog (confirm) is answered as `AnswerDialogs` says
// and its text kept.
class DevToolsClient {
public:
    explicit DevToolsClient(const HeadlessChromium& browser);  // throws when the browser does not answer
    ~DevToolsClient();
    DevToolsClient(const DevToolsClient&) = delete;
    DevToolsClient& operator=(const DevToolsClient&) = delete;

    using Session = std::string;  // "" is the browser itself

    // A new tab at `url`, its Page and Runtime domains enabled; `width` x `height` CSS pixels.
    // `ownBrowser`: in a browser context of its own, as if another browser,
    // with connections of its own (a browser holds at most 6 to one server,
    // and each page of the station keeps one open for its stream).
    Session OpenTab(const std::string& url, int width = 1280, int height = 900, bool ownBrowser = false);
    void CloseTab(const Session& tab);

    // The command's result; throws std::runtime_error with the protocol's error.
    nlohmann::json Call(const std::string& method, const nlohmann::json& params = nlohmann::json::object(),
                        const Session& session = {});
    // The value of a JavaScript expression (promises awaited); throws with
    // the exception's text when it throws.
    nlohmann::json Evaluate(const Session& tab, const std::string& expression);
    // Evaluates `expression` until it is true or `within` passed; false then.
    bool WaitUntil(const Session& tab, const std::string& expression,
                   std::chrono::milliseconds within = std::chrono::seconds(5));
    // A real left click (moved, pressed, released) at the middle of the first
    // element `selector` finds; throws when none is shown.
    void Click(const Session& tab, const std::string& selector);
    // The tab as a PNG file's bytes.
    std::vector<std::uint8_t> Screenshot(const Session& tab);

    bool answerDialogs = true;           // accept a confirm(), or dismiss it
    std::vector<std::string> dialogs;    // the message of each dialog shown, in order

private:
    struct Connection;
    std::unique_ptr<Connection> connection_;
    int nextId_ = 0;

    nlohmann::json Next(std::chrono::steady_clock::time_point until);
    void Send(const nlohmann::json& message);
    void Notice(const nlohmann::json& event);
};

// One headless browser for every test of a suite, started with the suite
// (none where Chromium is not installed: each test then skips itself). A
// fixture names its SetUpTestSuite and TearDownTestSuite with `using`.
struct SuiteBrowser {
    static inline std::unique_ptr<HeadlessChromium> browser;
    static inline std::unique_ptr<DevToolsClient> devtools;

    static void SetUpTestSuite() {
        if (const auto program = HeadlessChromium::Program()) {
            browser = std::make_unique<HeadlessChromium>(*program);
            devtools = std::make_unique<DevToolsClient>(*browser);
        }
    }
    static void TearDownTestSuite() {
        devtools.reset();
        browser.reset();
    }
};
