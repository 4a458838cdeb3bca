#include "kernel/attached_product.h"

#include "support/package_files.h"
#include "platform/hid_linux.h"

#include <chrono>


using namespace std::chrono_literals;

int NodesWith(std::uint16_t vid, std::uint16_t pid) {
    const auto set = MakeHidrawSystem()->PresentInterfaces();
    int n = 0;
    for (std::size_t i = 0;; ++i) {
        const auto e = set->At(i);
        if (e.kind == InterfaceEntry::Kind::End)
            return n;
        n += e.advertised && e.advertised->VendorId == vid && e.advertised->ProductId == pid;
    }
}

int AllNodes() {
    const auto set = MakeHidrawSystem()->PresentInterfaces();
    int n = 0;
    while (set->At(static_cast<std::size_t>(n)).kind != InterfaceEntry::Kind::End)
        ++n;
    return n;
}

VirtualProductOptions OptionsFor(const PackageContents& package, std::vector<BlockAnswer> answers) {
    VirtualProductOptions o;
    o.vendorId = package.vendorId;
    o.productId = package.productId;
    o.product = ProductFor(package, 65, 65, std::move(answers));
    return o;
}

// A composite gadget brings a node per interface, each in its own time: a
// product is up, and gone, by all of them (a second node still leaving would
// otherwise pass for the next product's, or its going for the next one failing).
Attached::Attached(Transport transport, const VirtualProductOptions& options)
    : options_(options),
      nodes_(transport == Transport::Gadget && options.secondInterface ? 2 : 1),
      before_(NodesWith(options.vendorId, options.productId)) {
    if (transport == Transport::Uhid)
        product_ = std::make_unique<UhidProduct>(options);
    else
        product_ = std::make_unique<GadgetProduct>(options);
    if (!product_->Error().empty())
        return;
    server_ = ServeInBackground(*product_, stop_);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (NodesWith(options.vendorId, options.productId) < before_ + nodes_ && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    up_ = NodesWith(options.vendorId, options.productId) >= before_ + nodes_;
}

Attached::~Attached() {
    Product();
    product_.reset();
    // Gone only when its nodes are, also after it left the bus on its own: the
    // next product's node would otherwise come as this one's goes, and the
    // count of nodes would never tell it arrived.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (up_ && NodesWith(options_.vendorId, options_.productId) > before_ &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
}

bool Attached::Up() const { return up_ && product_->Error().empty(); }

std::string Attached::Error() const {
    return product_->Error().empty() ? "no hidraw node appeared" : product_->Error();
}

const VirtualProduct& Attached::Product() {
    stop_ = true;
    if (server_.joinable())
        server_.join();
    return *product_;
}
