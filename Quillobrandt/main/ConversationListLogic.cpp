#include "Quillobrandt/main/ConversationListLogic.h"

#include <QCollator>
#include <QLocale>

#include <algorithm>
#include <optional>
#include <utility>

namespace quillobrandt {
namespace {

QCollator makeNameCollator() {
    QLocale locale = QLocale::system();
    // The C locale collates by code point; names deserve a real language's order.
    if (locale.language() == QLocale::C) {
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    }
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    return collator;
}

const QCollator& nameCollator() {
    thread_local const QCollator collator = makeNameCollator();
    return collator;
}

bool isAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Digits with spaces, dashes and brackets, perhaps after a leading "+": its digits and whether it had the "+".
std::optional<std::pair<QString, bool>> phoneNumberDigits(const QString& text) {
    QString digits;
    bool international = false;
    for (const QChar c : text) {
        if (isAsciiDigit(c)) {
            digits += c;
        } else if (c == QLatin1Char('+') && digits.isEmpty() && !international) {
            international = true;
        } else if (c != QLatin1Char(' ') && c != QLatin1Char('-') && c != QLatin1Char('(') && c != QLatin1Char(')')) {
            return std::nullopt;
        }
    }
    if (digits.isEmpty()) {
        return std::nullopt;
    }
    return std::pair{digits, international};
}

} // namespace

bool phoneDigitsMatch(const QString& query, const std::string& handle) {
    const auto typed = phoneNumberDigits(query);
    const auto stored = phoneNumberDigits(QString::fromStdString(handle));
    if (!typed || !stored) {
        return false;
    }
    const auto& [digits, international] = *typed;
    if (stored->first.contains(digits)) {
        return true;
    }
    if (international && !stored->second) {
        for (int code = 1; code <= 3 && code < digits.size(); ++code) {
            if (stored->first.startsWith(QStringView(digits).mid(code))) {
                return true;
            }
        }
    }
    return false;
}

QString emptyListText(const QString& searchText) {
    if (searchText.isEmpty()) {
        return QStringLiteral("This database holds no conversations.");
    }
    return QStringLiteral("No conversations match \u201C%1\u201D.").arg(searchText);
}

std::string ParticipantNaming::nameOf(const std::string& handle) const {
    if (auto label = labels.find(handle); label != labels.end()) {
        return label->second;
    }
    if (hasContactsAccess && contactName) {
        if (auto name = contactName(handle)) {
            return *name;
        }
    }
    return handle;
}

std::string ParticipantNaming::conversationDisplayName(const Conversation& conversation) const {
    std::string result;
    for (std::size_t i = 0; i < conversation.participants.size(); ++i) {
        if (i > 0) {
            result += ", ";
        }
        result += nameOf(conversation.participants[i]);
    }
    return result;
}

bool ParticipantNaming::hasResolvedName(const Conversation& conversation) const {
    if (!hasContactsAccess) {
        return false;
    }
    return std::any_of(conversation.participants.begin(), conversation.participants.end(),
                       [this](const std::string& handle) {
                           return labels.contains(handle) || (contactName && contactName(handle).has_value());
                       });
}

bool naturalNameLess(const QString& a, const QString& b) {
    return nameCollator().compare(a, b) < 0;
}

std::vector<ConversationListEntry> filterAndSortConversations(const std::vector<Conversation>& conversations,
                                                              const QString& searchText,
                                                              const ParticipantNaming& naming) {
    std::vector<ConversationListEntry> entries;
    entries.reserve(conversations.size());
    for (std::size_t i = 0; i < conversations.size(); ++i) {
        const Conversation& conversation = conversations[i];
        QString name = QString::fromStdString(naming.conversationDisplayName(conversation));
        if (!searchText.isEmpty()) {
            bool matches = name.contains(searchText, Qt::CaseInsensitive);
            for (std::size_t p = 0; !matches && p < conversation.participants.size(); ++p) {
                const std::string& handle = conversation.participants[p];
                matches = QString::fromStdString(handle).contains(searchText, Qt::CaseInsensitive) ||
                          phoneDigitsMatch(searchText, handle);
            }
            if (!matches) {
                continue;
            }
        }
        entries.push_back({i, std::move(name), naming.hasResolvedName(conversation)});
    }
    const QCollator& collator = nameCollator();
    std::stable_sort(entries.begin(), entries.end(), [&collator](const auto& a, const auto& b) {
        if (a.resolved != b.resolved) {
            return a.resolved;
        }
        return collator.compare(a.name, b.name) < 0;
    });
    return entries;
}

ConversationOpenFigures ConversationOpenFigures::of(const Conversation& conversation) {
    ConversationOpenFigures figures;
    figures.messageCount = static_cast<std::int64_t>(conversation.messages.size());
    figures.participantCount = static_cast<std::int64_t>(conversation.participants.size());
    for (const auto& message : conversation.messages) {
        figures.attachmentCount += static_cast<std::int64_t>(message.attachments.size());
    }
    return figures;
}

QString firstHandleText(const Conversation& conversation) {
    return conversation.participants.empty() ? QStringLiteral("Unknown")
                                             : QString::fromStdString(conversation.participants.front());
}

QString messageCountText(std::int64_t count) {
    return QString::number(count) + (count == 1 ? QStringLiteral(" message") : QStringLiteral(" messages"));
}

} // namespace quillobrandt
