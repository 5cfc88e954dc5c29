#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qbtest {

// The Messages schema as an iPhone writes it, one CREATE statement per entry, grouped so that a bulk
// build can create indexes and triggers after the rows are in.
const std::vector<std::string_view>& messagesSchemaTables();
const std::vector<std::string_view>& messagesSchemaIndexes();
const std::vector<std::string_view>& messagesSchemaTriggers();

} // namespace qbtest
