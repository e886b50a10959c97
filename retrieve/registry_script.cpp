#include "registry_script.h"

#include <cctype>
#include <new>

namespace brimvox::retrieve {

namespace {

class Parser {
  public:
    explicit Parser(const std::string& text) : script(text) {}

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

    const std::string& error() const { return firstError; }

  private:
    struct Token {
        enum Kind { End, Word, String, Open, Close, Equals } kind = End;
        std::string text;
    };

    static constexpr int kMaxDepth = 32;

    bool fail(const std::string& message) {
        if (firstError.empty()) firstError = message + " at offset " + std::to_string(offset);
        return false;
    }

    void skipSpace() {
        while (offset < script.size() &&
               std::isspace(static_cast<unsigned char>(script[offset])) != 0) {
            ++offset;
        }
    }

    bool next(Token& token) {
        if (hasPeeked) {
            token = peeked;
            hasPeeked = false;
            return true;
        }
        skipSpace();
        token = Token{};
        if (offset >= script.size()) return true;
        char c = script[offset];
        // A brace that starts a word ({GUID}) belongs to the name; alone it opens a block.
        bool braceWord = c == '{' && offset + 1 < script.size() &&
                         std::isspace(static_cast<unsigned char>(script[offset + 1])) == 0 &&
                         script[offset + 1] != '{' && script[offset + 1] != '}';
        if ((c == '{' && !braceWord) || c == '}' || c == '=') {
            token.kind = c == '{' ? Token::Open : c == '}' ? Token::Close : Token::Equals;
            ++offset;
            return true;
        }
        if (c == '\'') {
            token.kind = Token::String;
            ++offset;
            for (;;) {
                if (offset >= script.size()) return fail("unterminated string");
                char s = script[offset++];
                if (s == '\'') {
                    if (offset < script.size() && script[offset] == '\'') {
                        token.text += '\'';
                        ++offset;
                        continue;
                    }
                    return true;
                }
                token.text += s;
            }
        }
        token.kind = Token::Word;
        while (offset < script.size()) {
            char w = script[offset];
            if (std::isspace(static_cast<unsigned char>(w)) != 0 || w == '=' || w == '\'' ||
                (!braceWord && (w == '{' || w == '}'))) {
                break;
            }
            token.text += w;
            ++offset;
        }
        return true;
    }

    bool peek(Token& token) {
        if (!hasPeeked) {
            if (!next(peeked)) return false;
            hasPeeked = true;
        }
        token = peeked;
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

    const std::string& script;
    size_t offset = 0;
    bool hasPeeked = false;
    Token peeked;
    std::string firstError;
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

}  // namespace brimvox::retrieve
