#include "Quillobrandt/store/TriggerFunctions.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

namespace quillobrandt {
namespace {

enum class TokenKind { name, other };

struct Token {
    TokenKind kind;
    std::string text;
};

bool isNameStart(unsigned char c) {
    return std::isalpha(c) != 0 || c == '_' || c >= 0x80;
}
bool isNamePart(unsigned char c) {
    return isNameStart(c) || std::isdigit(c) != 0 || c == '$';
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Reads a quoted run starting at `sql[i]` (the opening quote) and returns its content; `i` ends after it.
// A doubled closing quote stands for itself. An unterminated quote runs to the end.
std::string quoted(std::string_view sql, std::size_t& i, char close) {
    std::string content;
    for (++i; i < sql.size(); ++i) {
        if (sql[i] == close) {
            if (close != ']' && i + 1 < sql.size() && sql[i + 1] == close) {
                content += close;
                ++i;
                continue;
            }
            ++i;
            return content;
        }
        content += sql[i];
    }
    return content;
}

std::vector<Token> tokenize(std::string_view sql) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < sql.size()) {
        const auto c = static_cast<unsigned char>(sql[i]);
        if (std::isspace(c) != 0) {
            ++i;
        } else if (sql.substr(i, 2) == "--") {
            const auto end = sql.find('\n', i);
            i = end == std::string_view::npos ? sql.size() : end + 1;
        } else if (sql.substr(i, 2) == "/*") {
            const auto end = sql.find("*/", i + 2);
            i = end == std::string_view::npos ? sql.size() : end + 2;
        } else if (c == '\'') {
            quoted(sql, i, '\'');
            tokens.push_back({TokenKind::other, "'"});
        } else if (c == '"' || c == '`' || c == '[') {
            tokens.push_back({TokenKind::name, quoted(sql, i, c == '[' ? ']' : static_cast<char>(c))});
        } else if (isNameStart(c)) {
            const std::size_t start = i;
            while (i < sql.size() && isNamePart(static_cast<unsigned char>(sql[i]))) {
                ++i;
            }
            tokens.push_back({TokenKind::name, std::string(sql.substr(start, i - start))});
        } else {
            tokens.push_back({TokenKind::other, std::string(1, static_cast<char>(c))});
            ++i;
        }
    }
    return tokens;
}

// The number of arguments of the bracket that opens at tokens[open].
int arityAt(const std::vector<Token>& tokens, std::size_t open) {
    int depth = 0;
    int commas = 0;
    bool empty = true;
    for (std::size_t i = open; i < tokens.size(); ++i) {
        const auto& text = tokens[i].text;
        if (tokens[i].kind == TokenKind::other && text == "(") {
            if (++depth > 1) {
                empty = false;
            }
        } else if (tokens[i].kind == TokenKind::other && text == ")") {
            if (--depth == 0) {
                break;
            }
        } else {
            empty = false;
            if (depth == 1 && tokens[i].kind == TokenKind::other && text == ",") {
                ++commas;
            }
        }
    }
    return empty ? 0 : commas + 1;
}

// "IN (", "VALUES (", "EXISTS (" open lists, not calls; the few keywords that also name functions stay.
bool isKeywordBracket(const std::string& name) {
    if (sqlite3_keyword_check(name.data(), static_cast<int>(name.size())) == 0) {
        return false;
    }
    const auto lower = lowered(name);
    return lower != "like" && lower != "glob" && lower != "regexp" && lower != "match" && lower != "replace";
}

bool isKnown(const platform::SqliteDatabase& db, const FunctionCall& call) {
    auto statement =
        db.prepare("SELECT 1 FROM pragma_function_list WHERE name = lower(?1) AND (narg = ?2 OR narg < 0) LIMIT 1");
    statement.bindText(1, call.name);
    statement.bindInt(2, call.arity);
    return statement.next();
}

} // namespace

std::vector<FunctionCall> functionCallsIn(std::string_view sql) {
    const auto tokens = tokenize(sql);
    std::vector<FunctionCall> calls;
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (tokens[i].kind != TokenKind::name || tokens[i + 1].kind != TokenKind::other || tokens[i + 1].text != "(") {
            continue;
        }
        if (isKeywordBracket(tokens[i].text) ||
            (i > 0 && (lowered(tokens[i - 1].text) == "into" || tokens[i - 1].text == "."))) {
            continue; // "INSERT INTO table(column, ...)", "schema.table(...)"
        }
        FunctionCall call{tokens[i].text, arityAt(tokens, i + 1)};
        if (std::find(calls.begin(), calls.end(), call) == calls.end()) {
            calls.push_back(std::move(call));
        }
    }
    return calls;
}

void defineUnknownTriggerFunctions(const platform::SqliteDatabase& db) {
    auto triggers = db.prepare("SELECT sql FROM sqlite_master WHERE type = 'trigger' AND sql IS NOT NULL");
    std::vector<FunctionCall> calls;
    while (triggers.next()) {
        for (auto& call : functionCallsIn(triggers.columnText(0).value_or(""))) {
            if (std::find(calls.begin(), calls.end(), call) == calls.end()) {
                calls.push_back(std::move(call));
            }
        }
    }
    auto noOp = [](sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_null(context); };
    for (const auto& call : calls) {
        if (isKnown(db, call)) {
            continue;
        }
        // Innocuous, so that the triggers of a distrusted schema may still call it: it does nothing.
        const int rc =
            sqlite3_create_function_v2(db.handle(), call.name.c_str(), call.arity, SQLITE_UTF8 | SQLITE_INNOCUOUS,
                                       nullptr, noOp, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            throw platform::SqliteError(rc, db.errorMessage());
        }
    }
}

} // namespace quillobrandt
