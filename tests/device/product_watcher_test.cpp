#include "device/product_watcher.h"
#include "simulated/simulated_hid.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = ProductWatcher::Clock;

constexpr std::uint16_t kWatchedVid = 0x1D50, kWatchedPid = 0x6018;

// Tells the simulated system's changes at once, or none at all as a container
// without events does, and never sleeps: a wait with nothing to tell moves the
// test's clock on by its bound.
class InstantArrivals final : public HidArrivals {
public:
    InstantArrivals(SimulatedHid& hid, Clock::time_point& now) : changes_(hid.Arrivals()), now_(now) {}
    bool WaitForChange(std::chrono::milliseconds bound) override {
        if (changes_->WaitForChange(0ms) && events)
            return true;
        now_ += bound;
        return false;
    }
    bool events = true;

private:
    std::unique_ptr<HidArrivals> changes_;
    Clock::time_point& now_;
};

// A product with the IDs, which sysfs tells without opening it; on a USB
// device of its own where `usbDevice` is given.
SimulatedInterface Product(std::string usbDevice = {}) {
    SimulatedInterface i;
    i.vendorId = kWatchedVid;
    i.productId = kWatchedPid;
    i.advertisesIds = true;
    i.usbDevice = std::move(usbDevice);
    return i;
}

class ProductWatcherTest : public ::testing::Test {
protected:
    // Every look for `span` of the test's clock, each waiting at most 100 ms as the station does.
    WatchedChange During(std::chrono::milliseconds span) {
        WatchedChange all;
        for (const auto until = now + span; now < until;) {
            WatchedChange change = watcher.Arrived(100ms);
            for (auto& product : change.arrived)
                all.arrived.push_back(std::move(product));
            all.denied.insert(all.denied.end(), change.denied.begin(), change.denied.end());
        }
        return all;
    }
    static std::vector<std::string> PathsOf(const WatchedChange& change) {
        std::vector<std::string> paths;
        for (const auto& product : change.arrived)
            paths.push_back(product.path);
        return paths;
    }

    SimulatedHid hid{SimulatedHid::Paths::LowestFree};
    Clock::time_point now = Clock::time_point{} + 1h;
    InstantArrivals arrivals{hid, now};
    ProductWatcher watcher{hid, arrivals, kWatchedVid, kWatchedPid, {}, [this] { return now; }};
};

// Faults caught: a composite product's keyboard interface upgraded too, or
// instead of its vendor interface because the vendor interface's node came a
// moment later; the keyboard opened at all; an interface whose node came after
// its product was taken taken as another product; a product taken by its
// vendor ID alone.
TEST_F(ProductWatcherTest, ACompositeProductIsTakenOnceAtTheInterfaceFindProductTakes) {
    SimulatedInterface sameVendor = Product();
    sameVendor.productId = 0x0002;
    const std::size_t other = hid.Attach(sameVendor);  // holds the lowest number for now
    const std::size_t keyboard = hid.Attach(Product("usb-1"));
    EXPECT_TRUE(During(100ms).arrived.empty()) << "the keyboard's node alone";
    hid.Detach(other);
    const std::size_t vendor = hid.Attach(Product("usb-1"));
    ASSERT_EQ(hid.PathOf(vendor), "sim:0") << "ahead of the keyboard in enumeration order";
    EXPECT_EQ(PathsOf(During(2s)), std::vector<std::string>{"sim:0"});
    EXPECT_EQ(hid.Log(keyboard).opens, 0);
    EXPECT_EQ(hid.Log(other).opens, 1) << "looked at once";
    const std::size_t late = hid.Attach(Product("usb-1"));
    EXPECT_TRUE(During(2s).arrived.empty()) << "an interface of the product taken, however late";
    EXPECT_EQ(hid.Log(late).opens, 0);
}

// Faults caught: a product plugged in at the path another just left not seen
// (interfaces known by their path alone); the watcher never forgetting a path,
// so that a product replugged where the system tells no instance is never
// taken again; a product without a USB device (uhid) held back.
TEST_F(ProductWatcherTest, EveryPlugIsSeenEvenAtAReusedPath) {
    const std::size_t first = hid.Attach(Product());
    EXPECT_EQ(PathsOf(watcher.Arrived(100ms)), std::vector<std::string>{"sim:0"}) << "at once";
    hid.Detach(first);
    const std::size_t swapped = hid.Attach(Product());  // no look between the two
    ASSERT_EQ(hid.PathOf(swapped), "sim:0");
    EXPECT_EQ(PathsOf(During(100ms)), std::vector<std::string>{"sim:0"});

    SimulatedInterface noInstance = Product();
    noInstance.tellsInstance = false;
    hid.Detach(swapped);
    const std::size_t plain = hid.Attach(noInstance);
    EXPECT_EQ(PathsOf(During(100ms)).size(), 1u);
    hid.Detach(plain);
    EXPECT_TRUE(During(100ms).arrived.empty());
    hid.Attach(noInstance);
    EXPECT_EQ(PathsOf(During(100ms)), std::vector<std::string>{"sim:0"}) << "replugged";
    EXPECT_TRUE(During(5s).arrived.empty()) << "taken once while it stays";
}

// Fault caught: where the system tells no change, nothing plugged in after the
// start is ever noticed.
TEST_F(ProductWatcherTest, WithoutEventsTheEnumerationIsLookedAtEveryTwoSeconds) {
    arrivals.events = false;
    EXPECT_TRUE(During(100ms).arrived.empty());
    hid.Attach(Product());
    EXPECT_TRUE(During(1500ms).arrived.empty()) << "not before the next look";
    EXPECT_EQ(During(1s).arrived.size(), 1u);
}

// Faults caught: an interface whose permissions come a moment late never tried
// again; denied access not told, told more than once per plug, or told of one
// that opened a moment later; an interface granted later never taken; a
// composite product held up for ever, or told of as denied, by an interface
// that is never let open; one without access told once for each interface.
TEST_F(ProductWatcherTest, DeniedAccessIsToldOnceAndTheProductTakenWhenAccessComes) {
    SimulatedInterface denied = Product();
    denied.accessDenied = true;
    const std::size_t late = hid.Attach(denied);
    const std::size_t refused = hid.Attach(denied);
    EXPECT_TRUE(During(200ms).arrived.empty());
    hid.GrantAccess(late);
    WatchedChange first = During(800ms);
    EXPECT_EQ(PathsOf(first), std::vector<std::string>{hid.PathOf(late)});
    EXPECT_EQ(first.denied, std::vector<std::string>{hid.PathOf(refused)}) << "within a second";
    WatchedChange later = During(5s);
    EXPECT_TRUE(later.denied.empty()) << "told once";
    hid.GrantAccess(refused);
    EXPECT_EQ(PathsOf(During(1500ms)), std::vector<std::string>{hid.PathOf(refused)});

    hid.Detach(refused);
    const std::size_t again = hid.Attach(denied);
    EXPECT_EQ(During(1s).denied, std::vector<std::string>{hid.PathOf(again)}) << "told again for a new plug";

    // A composite product's keyboard, which Windows keeps for itself, ahead of its vendor interface.
    SimulatedInterface keyboard = Product("usb-3");
    keyboard.accessDenied = true;
    hid.Attach(keyboard);
    const std::size_t vendor = hid.Attach(Product("usb-3"));
    const WatchedChange composite = During(2s);
    EXPECT_EQ(PathsOf(composite), std::vector<std::string>{hid.PathOf(vendor)});
    EXPECT_TRUE(composite.denied.empty()) << "the product was taken";

    // A composite product with no access to any of its interfaces: one product, told once.
    SimulatedInterface locked = Product("usb-4");
    locked.accessDenied = true;
    const std::size_t lockedVendor = hid.Attach(locked);
    hid.Attach(locked);  // its keyboard
    EXPECT_EQ(During(3s).denied, std::vector<std::string>{hid.PathOf(lockedVendor)}) << "one line for one product";
}

}  // namespace
