#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// A relay on loopback between a client and a server's port, which a test
// sets to fail as a network and a server do: passing every byte, down (every
// connection cut, new ones closed at once) or stalled (connections taken and
// held, no byte passed either way). Linux alone.
class TcpRelay {
public:
    enum class Mode { Passing, Down, Stalled };

    explicit TcpRelay(int serverPort, Mode mode = Mode::Passing);
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    int Port() const { return port_; }
    void Set(Mode mode) { mode_ = mode; }

private:
    void Run();

    int serverPort_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<Mode> mode_;
    std::atomic<bool> stop_{false};
    std::vector<std::pair<int, int>> pairs_;  // client, server: the relay's thread alone
    std::thread thread_;
};
