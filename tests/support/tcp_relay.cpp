#include "support/tcp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

// Passes what `from` has to `to`; false when either end closed.
bool Pass(int from, int to) {
    char buffer[16384];
    const ssize_t got = read(from, buffer, sizeof buffer);
    if (got <= 0)
        return false;
    for (ssize_t put = 0; put < got;) {
        const ssize_t n = write(to, buffer + put, static_cast<std::size_t>(got - put));
        if (n <= 0)
            return false;
        put += n;
    }
    return true;
}

}  // namespace

TcpRelay::TcpRelay(int serverPort, Mode mode) : serverPort_(serverPort), mode_(mode) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 16) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("the relay cannot listen on loopback");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

TcpRelay::~TcpRelay() {
    stop_ = true;
    thread_.join();
    for (const auto& [client, server] : pairs_) {
        close(client);
        close(server);
    }
    close(listener_);
}

void TcpRelay::Run() {
    while (!stop_) {
        const Mode mode = mode_;
        if (mode == Mode::Down) {
            for (const auto& [client, server] : pairs_) {
                close(client);
                close(server);
            }
            pairs_.clear();
        }
        std::vector<pollfd> polled{{listener_, POLLIN, 0}};
        if (mode == Mode::Passing)
            for (const auto& [client, server] : pairs_) {
                polled.push_back({client, POLLIN, 0});
                polled.push_back({server, POLLIN, 0});
            }
        if (poll(polled.data(), polled.size(), 20) <= 0)
            continue;
        if (polled[0].revents & POLLIN) {
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0 && mode == Mode::Down) {
                close(client);
            } else if (client >= 0) {
                const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in address = Loopback(serverPort_);
                if (connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                    pairs_.emplace_back(client, server);
                } else {
                    close(client);
                    close(server);
                }
            }
        }
        for (std::size_t i = 1; i < polled.size(); i += 2) {
            auto& [client, server] = pairs_[(i - 1) / 2];
            const bool fromClient = polled[i].revents & (POLLIN | POLLHUP | POLLERR);
            const bool fromServer = polled[i + 1].revents & (POLLIN | POLLHUP | POLLERR);
            if ((fromClient && !Pass(client, server)) || (fromServer && !Pass(server, client))) {
                close(client);
                close(server);
                client = server = -1;
            }
        }
        std::erase_if(pairs_, [](const auto& pair) { return pair.first < 0; });
    }
}
