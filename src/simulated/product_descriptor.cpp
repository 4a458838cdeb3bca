#include "simulated/product_descriptor.h"

std::vector<std::uint8_t> VendorReportDescriptor(std::size_t outputLength, std::size_t inputLength,
                                                 std::uint8_t inputId, std::uint8_t outputId) {
    std::vector<std::uint8_t> d = {
        0x06, 0x00, 0xFF,  // usage page (vendor defined 0xFF00)
        0x09, 0x01,        // usage 1
        0xA1, 0x01,        // collection (application)
        0x15, 0x00,        // logical minimum 0
        0x26, 0xFF, 0x00,  // logical maximum 255
        0x75, 0x08,        // report size 8
    };
    const auto add = [&d](std::initializer_list<std::uint8_t> bytes) {
        for (std::uint8_t b : bytes)
            d.push_back(b);
    };
    const bool numbered = inputId != 0 && outputId != 0;
    const auto report = [&](std::size_t length, std::uint8_t mainItem, std::uint8_t id) {
        if (length < 2)
            return;  // no report in this direction
        if (numbered)
            add({0x85, id});
        const std::size_t count = length - 1;
        add({0x96, static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8)});
        add({0x09, 0x01, mainItem, 0x02});  // usage 1, data variable absolute
    };
    report(inputLength, 0x81, inputId);
    if (numbered && outputLength > 2)
        report(2, 0x91, static_cast<std::uint8_t>(outputId == 0xFF ? 0xFE : outputId + 1));
    report(outputLength, 0x91, outputId);
    d.push_back(0xC0);  // end collection
    return d;
}

std::vector<std::uint8_t> BootKeyboardReportDescriptor() {
    return {
        0x05, 0x01,  // usage page (generic desktop)
        0x09, 0x06,  // usage (keyboard)
        0xA1, 0x01,  // collection (application)
        0x05, 0x07,  //   usage page (keyboard): the eight modifier keys
        0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,
        0x95, 0x01, 0x75, 0x08, 0x81, 0x03,  // the reserved byte
        0x95, 0x05, 0x75, 0x01, 0x05, 0x08,  //   usage page (LEDs): five of them
        0x19, 0x01, 0x29, 0x05, 0x91, 0x02,
        0x95, 0x01, 0x75, 0x03, 0x91, 0x03,  // padding to a byte
        0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07,  // six keys
        0x19, 0x00, 0x29, 0x65, 0x81, 0x00,
        0xC0,  // end collection
    };
}
