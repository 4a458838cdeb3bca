#pragma once

#include <set>
#include <string>
#include <string_view>

// The serial numbers a record tells were upgraded with the package of this
// SHA-256 (hexadecimal). The record is outside data: any bytes are taken, and
// a line that is no record (one torn by a crash) is passed over.
std::set<std::string> RecordedUpgrades(std::string_view record, const std::string& sha256);
