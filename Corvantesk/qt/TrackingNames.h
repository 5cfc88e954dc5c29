#pragma once

#include <QString>

namespace corvantesk {

// Turns a title, identifier or path into a stable, readable tracking name: lower case, blanks and dashes as
// "_", no ellipsis, dots as "_", no punctuation or blanks at either end. Names longer than 100 characters
// keep their first part and end in "_" plus eight hexadecimal digits of a hash of the whole name, so the
// same input always gives the same name.
QString normalizeTrackingName(const QString& text);

// An action name without the prefixes "_", "NS", "perform", "handle" (any case) and the suffixes "Action",
// "Clicked", "Pressed", "Tapped" (exact case), each removed once in that order.
QString cleanActionName(QString name);

// A widget text as the user reads it: "&&" becomes "&", other "&" mnemonic markers are dropped.
QString withoutMnemonic(const QString& text);

// A class name without its namespace and Qt's "Q" prefix, lower-cased ("QPushButton" gives "pushbutton").
QString plainClassName(const char* className);

} // namespace corvantesk
