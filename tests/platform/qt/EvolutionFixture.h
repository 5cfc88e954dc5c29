#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace qbtest {

// Writes an Evolution address book database in the layout Evolution keeps (folders, keys, the
// folder's contact table with its summary columns and the full vCard, and a phone index table).
// Each contact is (uid, vCard text). A second table with a "vcard" column holds `extraTableCards`.
void writeEvolutionAddressBook(const std::filesystem::path& contactsDb,
                               const std::vector<std::pair<std::string, std::string>>& contacts,
                               const std::vector<std::string>& extraTableCards = {});

} // namespace qbtest
