#include "registry_script.h"

#include <cctype>
#include <new>

namespace {

class Parser {
  public:
    explicit Parser(const std::string& text) : text_(text) {}

    bool parse(std::vector<RegistryRoot>& roots) {
        for (;;) {
            Token root;
            if (!next(root)) return false;
            if (root.kind == Token::End) return true;
            if (root.kind != Token::Word) return fail("expected a root key name");
            RegistryRoot parsed;
            parsed.name = root.text;
            if (!expect(Token::Open, "'{' after the root key")) return false;
            if (!parseEntries(parsed.entries, 1)) return false;
            roots.push_back(std::move(parsed));
        }
    }

    const std::string& error() const { return error_; }

  private:
    struct Token {
        enum Kind { End, Word, String, Open, Close, Equals } kind = End;
        std::string text;
    };

    static constexpr int kMaxDepth = 32;

    bool fail(const std::string& message) {
        if (error_.empty()) error_ = message + " at offset " + std::to_string(position_);
        return false;
    }

    void skipSpace() {
        while (position_ < text_.size() &&
               std::isspace(static_cast<unsigned char>(text_[position_])) != 0) {
            ++position_;
        }
    }

    bool next(Token& token) {
        if (peeked_) {
            token = peek_;
            peeked_ = false;
            return true;
        }
        skipSpace();
        token = Token{};
        if (position_ >= text_.size()) return true;
        char c = text_[position_];
        // A brace that starts a word ({GUID}) belongs to the name; alone it opens a block.
        bool braceWord = c == '{' && position_ + 1 < text_.size() &&
                         std::isspace(static_cast<unsigned char>(text_[position_ + 1])) == 0 &&
                         text_[position_ + 1] != '{' && text_[position_ + 1] != '}';
        if ((c == '{' && !braceWord) || c == '}' || c == '=') {
            token.kind = c == '{' ? Token::Open : c == '}' ? Token::Close : Token::Equals;
            ++position_;
            return true;
        }
        if (c == '\'') {
            token.kind = Token::String;
            ++position_;
            for (;;) {
                if (position_ >= text_.size()) return fail("unterminated string");
                char s = text_[position_++];
                if (s == '\'') {
                    if (position_ < text_.size() && text_[position_] == '\'') {
                        token.text += '\'';
                        ++position_;
                        continue;
                    }
                    return true;
                }
                token.text += s;
            }
        }
        token.kind = Token::Word;
        while (position_ < text_.size()) {
            char w = text_[position_];
            if (std::isspace(static_cast<unsigned char>(w)) != 0 || w == '=' || w == '\'' ||
                (!braceWord && (w == '{' || w == '}'))) {
                break;
            }
            token.text += w;
            ++position_;
        }
        return true;
    }

    bool peek(Token& token) {
        if (!peeked_) {
            if (!next(peek_)) return false;
            peeked_ = true;
        }
        token = peek_;
        return true;
    }

    bool expect(Token::Kind kind, const char* what) {
        Token token;
        if (!next(token)) return false;
        if (token.kind != kind) return fail(std::string("expected ") + what);
        return true;
    }

    bool parseString(std::string& data) {
        Token type;
        if (!next(type)) return false;
        if (type.kind != Token::Word || (type.text != "s" && type.text != "S")) {
            return fail("only string values (s) are supported");
        }
        Token value;
        if (!next(value)) return false;
        if (value.kind != Token::String) return fail("expected a quoted string");
        data = value.text;
        return true;
    }

    bool parseEntries(std::vector<RegistryEntry>& entries, int depth) {
        if (depth > kMaxDepth) return fail("keys nested too deeply");
        for (;;) {
            Token token;
            if (!next(token)) return false;
            if (token.kind == Token::Close) return true;
            if (token.kind == Token::End) return fail("missing '}'");
            RegistryEntry entry;
            while (token.kind == Token::Word &&
                   (token.text == "ForceRemove" || token.text == "NoRemove")) {
                (token.text == "ForceRemove" ? entry.forceRemove : entry.noRemove) = true;
                if (!next(token)) return false;
            }
            if (token.kind == Token::Word && token.text == "val") {
                entry.isValue = true;
                if (!next(token)) return false;
            }
            if (token.kind != Token::Word && token.kind != Token::String) {
                return fail("expected a key or value name");
            }
            entry.name = token.text;
            if (entry.name.empty()) return fail("empty key name");

            Token after;
            if (!peek(after)) return false;
            if (after.kind == Token::Equals) {
                next(after);
                if (!parseString(entry.data)) return false;
                entry.hasData = true;
                if (!peek(after)) return false;
            } else if (entry.isValue) {
                return fail("a named value needs '= s'");
            }
            if (after.kind == Token::Open) {
                if (entry.isValue) return fail("a named value cannot have subkeys");
                next(after);
                if (!parseEntries(entry.children, depth + 1)) return false;
            }
            entries.push_back(std::move(entry));
        }
    }

    const std::string& text_;
    size_t position_ = 0;
    bool peeked_ = false;
    Token peek_;
    std::string error_;
};

void substituteIn(std::vector<RegistryEntry>& entries, const std::string& pattern,
                  const std::string& value) {
    for (auto& entry : entries) {
        for (size_t at = entry.data.find(pattern); at != std::string::npos;
             at = entry.data.find(pattern, at + value.size())) {
            entry.data.replace(at, pattern.size(), value);
        }
        substituteIn(entry.children, pattern, value);
    }
}

}  // namespace

bool parseRegistryScript(const std::string& text, std::vector<RegistryRoot>& roots,
                         std::string& error) {
    try {
        Parser parser(text);
        std::vector<RegistryRoot> parsed;
        if (!parser.parse(parsed)) {
            error = parser.error();
            return false;
        }
        roots = std::move(parsed);
        return true;
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return false;
    }
}

void substituteVariable(std::vector<RegistryRoot>& roots, const std::string& name,
                        const std::string& value) {
    std::string pattern = "%" + name + "%";
    for (auto& root : roots) substituteIn(root.entries, pattern, value);
}
