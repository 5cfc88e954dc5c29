#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qbtest {

// The Messages schema as an iPhone writes it (iOS 13), one CREATE statement per entry, grouped so that a bulk
// build can create indexes and triggers after the rows are in.
const std::vector<std::string_view>& messagesSchemaTables();
const std::vector<std::string_view>& messagesSchemaIndexes();
const std::vector<std::string_view>& messagesSchemaTriggers();

// The layouts of the Messages database over the years, as far as they differ in what a reader meets.
enum class SchemaLayout {
    iPhoneIos6,    // an iPhone's sms.db of iOS 6-7 (2012-2013): no reactions, no balloons, dates in seconds
    macYosemite,   // a Mac's chat.db of OS X 10.10 (2014-2015): as iOS 6 plus audio messages and group actions
    macHighSierra, // a Mac's chat.db of macOS 10.13 (2017-2018): reactions and balloons, dates in nanoseconds
    iPhoneIos13,   // an iPhone's sms.db of iOS 13 (2019-2020), copied from a real file
    macVentura,    // a Mac's chat.db of macOS 13 and later: edited and retracted messages, recently deleted ones
};
inline constexpr SchemaLayout kAllSchemaLayouts[] = {SchemaLayout::iPhoneIos6, SchemaLayout::macYosemite,
                                                     SchemaLayout::macHighSierra, SchemaLayout::iPhoneIos13,
                                                     SchemaLayout::macVentura};

struct SchemaStatements {
    std::vector<std::string> tables;
    std::vector<std::string> indexes;
    std::vector<std::string> triggers;
};
// The CREATE statements of a layout: the iOS 13 ones above, or those of an older or newer release.
const SchemaStatements& messagesSchema(SchemaLayout layout);
const char* schemaLayoutName(SchemaLayout layout);
// Releases before macOS 10.13 and iOS 11 store message.date in seconds, later ones in nanoseconds.
bool storesDatesInSeconds(SchemaLayout layout);

// The CREATE statements of an iPhone's sms.db of iOS 5 and earlier (before 2012), which no reader of the later
// layout can show: conversations in msg_group with their members in group_member, messages in a message table of
// other columns (an address per message; iMessages in the madrid_ columns), attachments in madrid_attachment.
const std::vector<std::string>& messagesSchemaBeforeIos6();

} // namespace qbtest
