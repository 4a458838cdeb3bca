#include "station/record_reader.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

std::set<std::string> RecordedUpgrades(std::string_view record, const std::string& sha256) {
    std::set<std::string> serials;
    while (!record.empty()) {
        const std::size_t end = record.find('\n');
        const std::string_view text = record.substr(0, end);
        record.remove_prefix(end == std::string_view::npos ? record.size() : end + 1);
        const json line = json::parse(text, nullptr, false);  // no exceptions: a torn line is discarded
        if (!line.is_object())
            continue;
        const auto field = [&](const char* name) -> const json* {
            const auto it = line.find(name);
            return it != line.end() ? &*it : nullptr;
        };
        const json *kind = field("record"), *sha = field("sha256"), *success = field("success"), *serial = field("serial");
        if (kind && *kind == "product" && sha && *sha == sha256 && success && *success == true && serial &&
            serial->is_string() && !serial->get_ref<const std::string&>().empty())
            serials.insert(serial->get<std::string>());
    }
    return serials;
}
