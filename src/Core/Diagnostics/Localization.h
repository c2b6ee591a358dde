#pragma once
// The SDK's user-facing texts: compiled-in string tables, looked up by key.
#include <map>
#include <optional>
#include <string>

namespace svsdk::localization {

// The text of `key` in table `table` ("Errors", "NetworkErrors"), if any.
std::optional<std::string> lookup(const std::string& table, const std::string& key);

// A copy of a whole table, absent when there is none.
std::optional<std::map<std::string, std::string>> table(const std::string& name);

// Replaces a table for the rest of the process (absent: the table is
// removed, so every lookup in it falls back). For tests.
void replaceTable(const std::string& table, std::optional<std::map<std::string, std::string>> entries);

}  // namespace svsdk::localization
