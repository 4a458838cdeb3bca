#include "station/web/station_web.h"

#include <boost/asio/ip/address.hpp>

#include <charconv>

// Only numeric addresses: a name would need the resolver, and "localhost"
// is what 127.0.0.1 already says.
std::optional<WebOptions> ParseListenAddress(const std::string& text, std::string& why) {
    WebOptions options;
    std::string_view port = text;
    const auto colon = text.rfind(':');
    if (colon != std::string::npos) {
        std::string address = text.substr(0, colon);
        port = std::string_view(text).substr(colon + 1);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
            address = address.substr(1, address.size() - 2);
            if (address.find(':') == std::string::npos) {
                why = "\"" + text + "\": only an IPv6 address goes in brackets";
                return std::nullopt;
            }
        } else if (address.find(':') != std::string::npos) {
            why = "\"" + text + "\": an IPv6 address goes in brackets, as [::1]:8080";
            return std::nullopt;
        }
        boost::system::error_code error;
        boost::asio::ip::make_address(address, error);
        if (error || address.empty()) {
            why = "\"" + text + "\" has no IP address before its port, as 127.0.0.1:8080";
            return std::nullopt;
        }
        options.address = address;
    }
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || error != std::errc{} || end != port.data() + port.size() || value > 65535) {
        why = "\"" + text + "\" has no port from 0 to 65535";
        return std::nullopt;
    }
    options.port = static_cast<std::uint16_t>(value);
    return options;
}

bool IsLoopbackAddress(const std::string& address) {
    boost::system::error_code error;
    const auto parsed = boost::asio::ip::make_address(address, error);
    return !error && parsed.is_loopback();
}
