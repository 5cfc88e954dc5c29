#pragma once

#include "platform/core/Sqlite.h"

// What a Messages database must hold for the reader to make sense of it.
namespace quillobrandt {

// Every table the reader needs is there (as a table or a view). Throws notMessagesDatabase when one is missing,
// and what SQLite says of a file it cannot read.
void requireMessagesTables(const platform::SqliteDatabase& db);

} // namespace quillobrandt
