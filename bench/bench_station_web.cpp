// The station with its page, natively against the simulated product whose
// every answer comes 20 ms after the block: 8 products plugged in together,
// the time until every one is upgraded, without the page, with the page and
// no browser, with a thousand connections opened against the page (beyond
// its bound: closed at once), and with 10 clients following each stream
// (vsNoPage: against the time without the page; bytesPerStream: what each
// stream client read).
//
//   build/release/bench/bench_station_web

#include "support/simulated_station.h"

#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <sys/resource.h>

#include <array>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kProducts = 8;

enum Page { kNoPage, kPageAlone, kThousandConnections, kTenStreamClients };

std::uint16_t FreePort() {
    net::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}

// Clients of the page on a thread of their own: connections that send
// nothing, or stream clients that read all they are sent.
struct Browsers {
    Browsers(std::uint16_t port, Page page) : port_(port) {
        if (page == kNoPage || page == kPageAlone)
            return;
        thread_ = std::thread([this, page] {
            const tcp::endpoint station(net::ip::make_address("127.0.0.1"), port_);
            // Until the station listens.
            for (const auto until = Clock::now() + 5s; Clock::now() < until; std::this_thread::sleep_for(1ms)) {
                tcp::socket probe(io_);
                boost::system::error_code error;
                probe.connect(station, error);
                if (!error)
                    break;
            }
            const int count = page == kThousandConnections ? 1000 : 20;
            for (int i = 0; i < count; ++i) {
                auto& socket = sockets_.emplace_back(std::make_unique<tcp::socket>(io_));
                boost::system::error_code error;
                socket->connect(station, error);
                if (error || page == kThousandConnections)
                    continue;
                const std::string request = std::string("GET ") + (i % 2 ? "/api/events" : "/api/status/stream") +
                                            " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n\r\n";
                net::write(*socket, net::buffer(request), error);
                Read(*socket);
            }
            io_.run();
        });
    }
    ~Browsers() { Stop(); }
    void Stop() {
        if (!thread_.joinable())
            return;
        net::post(io_, [this] {
            for (auto& socket : sockets_) {
                boost::system::error_code ignored;
                socket->close(ignored);
            }
        });
        thread_.join();
    }
    void Read(tcp::socket& socket) {
        socket.async_read_some(net::buffer(scrap_), [this, &socket](boost::system::error_code error, std::size_t n) {
            bytes += n;
            if (!error)
                Read(socket);
        });
    }

    std::uint16_t port_;
    net::io_context io_;
    std::vector<std::unique_ptr<tcp::socket>> sockets_;
    std::array<char, 65536> scrap_{};
    std::size_t bytes = 0;
    std::thread thread_;
};

double noPageSeconds = 0;

void BM_StationWithItsPage(benchmark::State& state) {
    const auto page = static_cast<Page>(state.range(0));
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    DiscardedLines discarded;

    for (auto _ : state) {
        SimulatedStation line(16 * 1024, 1024);  // 16 answers, 320 ms at the least
        line.output = &discarded.out;
        line.options.limits.count = kProducts;
        const std::uint16_t port = FreePort();
        if (page != kNoPage)
            line.options.http = "127.0.0.1:" + std::to_string(port);
        line.AnswerAfter(20ms);
        for (std::size_t i = 0; i < kProducts; ++i)
            line.hid.Attach(line.Product("QV-" + std::to_string(i), "usb-1-" + std::to_string(i)));
        Browsers browsers(port, page);
        const auto start = Clock::now();
        line.Start();
        const auto outcome = line.station->Finish(60s);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        browsers.Stop();
        state.SetIterationTime(seconds);
        if (outcome != Outcome::Upgraded)
            state.SkipWithError(("not every product was upgraded: " + discarded.errors.str()).c_str());
        if (page == kNoPage)
            noPageSeconds = seconds;
        else if (noPageSeconds > 0)
            state.counters["vsNoPage"] = seconds / noPageSeconds;
        if (page == kTenStreamClients)
            state.counters["bytesPerStream"] = static_cast<double>(browsers.bytes) / 20.0;
    }
}
BENCHMARK(BM_StationWithItsPage)
    ->ArgName("page")
    ->Arg(kNoPage)
    ->Arg(kPageAlone)
    ->Arg(kThousandConnections)
    ->Arg(kTenStreamClients)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
