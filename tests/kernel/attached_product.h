#pragma once

#include "package/package_writer.h"
#include "simulated/virtual_product.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

// For the programs that run inside the guest kernel.

enum class Transport { Uhid, Gadget };

// How many hidraw nodes say they have these IDs, and how many there are.
int NodesWith(std::uint16_t vid, std::uint16_t pid);
int AllNodes();

// A virtual product that takes `package`, with 64-byte reports each way.
VirtualProductOptions OptionsFor(const PackageContents& package, std::vector<BlockAnswer> answers = {});

// A virtual product attached for the length of a test, served by a thread of
// its own at real-time priority; ready once its hidraw node is there.
class Attached {
public:
    Attached(Transport transport, const VirtualProductOptions& options);
    ~Attached();
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

    bool Up() const;
    std::string Error() const;
    // How many reports the product took so far, while it is served.
    std::size_t ReportsTaken() const { return product_->ReportsReceived(); }
    bool Complete() const { return product_->Complete(); }
    bool Unplugged() const { return product_->Unplugged(); }
    // Stops serving, so that what the product took can be looked at.
    const VirtualProduct& Product();

private:
    VirtualProductOptions options_;
    std::unique_ptr<VirtualProduct> product_;
    std::atomic<bool> stop_{false};
    std::thread server_;
    int nodes_;   // the hidraw nodes it brings
    int before_;  // the nodes with its IDs there were before it came
    bool up_ = false;
};
