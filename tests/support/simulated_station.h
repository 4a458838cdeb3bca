#pragma once

#include "support/package_files.h"
#include "simulated/simulated_hid.h"
#include "support/slow_answers.h"
#include "support/station_harness.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// A station over the simulated HID system with the sample package: the
// set-up its tests and benchmarks share. Change the package, the options,
// the system (the simulated one behind a decorator) or the output as the case
// needs, then Start().
class SimulatedStation {
public:
    explicit SimulatedStation(std::size_t firmwareSize = 5000, std::uint32_t blockLength = 1024)
        : file(firmwareSize, blockLength) {}

    // Writes the package and starts the station, with the simulated system's
    // notifications unless `arrivals` are given; true once it watches, false
    // when it ended first or did not watch within 10 s.
    bool Start(std::unique_ptr<HidArrivals> arrivals = nullptr) {
        file.Write();
        options.package = file.path;
        station = std::make_unique<StationThread>(options, *system, arrivals ? std::move(arrivals) : hid.Arrivals(),
                                                  *output, &events, startPaused);
        const auto watching = [&] { return !events.Of(StationEvent::Kind::Watching).empty(); };
        return Within(std::chrono::seconds(10), [&] { return watching() || station->Ended(); }) && watching();
    }
    // Before Start: products answer each block `delay` later, as a product writing its flash.
    void AnswerAfter(std::chrono::milliseconds delay) {
        slow = std::make_unique<SlowAnswers>(hid, delay);
        system = slow.get();
    }
    // A product for the package, told apart from the others by its serial number and location.
    SimulatedInterface Product(std::string serial, std::string location, std::vector<BlockAnswer> answers = {}) const {
        SimulatedInterface product = ProductInterface(package, 65, 65, std::move(answers));
        product.identity = {std::move(serial), std::move(location), std::nullopt};
        return product;
    }

    PackageOnDisk file;
    PackageContents& package = file.contents;
    SimulatedHid hid;
    std::unique_ptr<SlowAnswers> slow;
    HidSystem* system = &hid;
    StationOptions options;
    bool startPaused = false;  // asked to pause before it runs
    RecordedEvents events;   // as the station posts them
    RecordedEvents written;  // as its output writes them
    EventOutput* output = &written;
    std::unique_ptr<StationThread> station;  // the last: it ends before what it uses goes
};
