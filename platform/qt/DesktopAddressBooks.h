#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/qt/ContactStore.h"

namespace platform {

// The desktop's address books below a data folder ($XDG_DATA_HOME): vCard files anywhere under
// "contacts/", then the "vcard" column of every table of "evolution/addressbook/*/contacts.db".
// Sources are visited in a fixed order (files by path, then address books by folder name), so the
// last card for a number is always the same one. A missing source is empty; an unreadable one is
// skipped with a console line. Never writes anything.
void readDesktopAddressBooks(const std::filesystem::path& dataFolder,
                             const std::function<void(const ContactRecord&)>& visit);

// The vCard texts stored in one Evolution address book database, opened read-only. Throws SqliteError.
std::vector<std::string> readEvolutionVCards(const std::filesystem::path& contactsDb);

} // namespace platform
