#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Sqlite.h"

namespace quillobrandt {

struct FunctionCall {
    std::string name;
    int arity = 0;
    bool operator==(const FunctionCall&) const = default;
};

// Every `name(...)` call in a statement's text, with the number of arguments it is given, in order of
// appearance and without repeats. Strings, quoted names and comments are skipped; SQL keywords followed by
// a bracket ("IN (", "VALUES (") and table names after INTO are not calls.
std::vector<FunctionCall> functionCallsIn(std::string_view sql);

// The devices that write Messages databases define functions of their own for their triggers (removing an
// attachment's file, a plugin's data). SQLite needs every function a trigger calls when a statement that
// fires it is prepared, so each call in the database's triggers that this SQLite does not know is defined
// as a function that does nothing: an edited copy must never act on files anyway.
// Throws platform::SqliteError when the triggers cannot be read or a function cannot be defined.
void defineUnknownTriggerFunctions(const platform::SqliteDatabase& db);

} // namespace quillobrandt
