#include "lib/uci/uci.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include <fcntl.h>
#include <unistd.h>

namespace uci {

const option* section::find(std::string_view option_name) const {
    for (const option& o : options)
        if (o.name == option_name) return &o;
    return nullptr;
}

std::string error::describe() const {
    if (line > 0) return file + ":" + std::to_string(line) + ": " + message;
    return file + ": " + message;
}

namespace {

// Splits the text into statements: the words of one logical line.
struct lexer {
    std::string_view text;
    size_t pos = 0;
    int line = 1;

    bool at_end() const { return pos >= text.size(); }
    char peek(size_t ahead = 0) const {
        return pos + ahead < text.size() ? text[pos + ahead] : '\0';
    }
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// Reads one word starting at a non-blank character. Returns false with
// message set on an unterminated quote.
bool read_word(lexer& lx, std::string& word, std::string& message, int& error_line) {
    while (!lx.at_end()) {
        char c = lx.peek();
        // '#' outside quotes starts a comment, also right after a value
        // (option key abc#def is "abc", as OpenWrt reads it).
        if (is_blank(c) || c == '\n' || c == '#') return true;
        if (c == '\'') {
            ++lx.pos;
            error_line = lx.line;  // an unterminated quote is reported where it opened
            while (true) {
                if (lx.at_end()) { message = "unterminated single quote"; return false; }
                char q = lx.text[lx.pos++];
                if (q == '\'') break;
                if (q == '\n') ++lx.line;
                word += q;
            }
        } else if (c == '"') {
            ++lx.pos;
            error_line = lx.line;
            while (true) {
                if (lx.at_end()) { message = "unterminated double quote"; return false; }
                char q = lx.text[lx.pos++];
                if (q == '"') break;
                if (q == '\\' && !lx.at_end()) {
                    q = lx.text[lx.pos++];
                    if (q == '\n') { ++lx.line; continue; }  // continued line
                }
                if (q == '\n') ++lx.line;
                word += q;
            }
        } else if (c == '\\') {
            ++lx.pos;
            if (lx.at_end()) return true;
            char q = lx.text[lx.pos++];
            if (q == '\n') { ++lx.line; continue; }  // continued line
            word += q;
        } else {
            word += c;
            ++lx.pos;
        }
    }
    return true;
}

// Reads the next statement's words; `line` is where it starts. Returns false
// at the end of the text (words empty) or on an error (message set).
bool next_statement(lexer& lx, std::vector<std::string>& words, int& line,
                    std::string& message) {
    words.clear();
    while (!lx.at_end()) {
        char c = lx.peek();
        if (is_blank(c)) { ++lx.pos; continue; }
        if (c == '\\' && lx.peek(1) == '\n') {  // continued line between words
            lx.pos += 2;
            ++lx.line;
            continue;
        }
        if (c == '\n') {
            ++lx.pos;
            ++lx.line;
            if (!words.empty()) return true;
            continue;
        }
        if (c == '#') {
            while (!lx.at_end() && lx.peek() != '\n') ++lx.pos;
            continue;
        }
        if (words.empty()) line = lx.line;
        std::string word;
        if (!read_word(lx, word, message, line)) return false;
        words.push_back(std::move(word));
    }
    return !words.empty();
}

bool valid_name(const std::string& s, bool allow_dash) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!(std::isalnum(c) || c == '_' || (allow_dash && c == '-'))) return false;
    return true;
}

// The options of the section being read, by name, for constant-time updates.
using option_index = std::unordered_map<std::string, size_t>;

void index_options(const section& s, option_index& index) {
    index.clear();
    for (size_t i = 0; i < s.options.size(); ++i) index.emplace(s.options[i].name, i);
}

void set_option(section& s, option_index& index, const std::string& name, std::string value,
                bool as_list) {
    auto known = index.find(name);
    if (known == index.end()) {
        index.emplace(name, s.options.size());
        s.options.push_back(option{name, as_list, {std::move(value)}});
        return;
    }
    option& o = s.options[known->second];
    if (!as_list) {
        o.is_list = false;
        o.values.assign(1, std::move(value));
    } else {
        o.is_list = true;  // a list added to a plain option keeps its value first
        o.values.push_back(std::move(value));
    }
}

// 16-bit FNV-1a fold of the section's type and content: anonymous names
// ("cfg" + index + hash) stay the same while the file does.
uint16_t content_hash(const section& s) {
    uint32_t h = 2166136261u;
    auto mix = [&h](std::string_view text) {
        for (unsigned char c : text) h = (h ^ c) * 16777619u;
        h = (h ^ 0xFFu) * 16777619u;
    };
    mix(s.type);
    for (const option& o : s.options) {
        mix(o.name);
        for (const std::string& v : o.values) mix(v);
    }
    return uint16_t((h >> 16) ^ (h & 0xFFFFu));
}

void name_anonymous_sections(package& pkg) {
    std::unordered_set<std::string> taken;
    for (const section& s : pkg.sections)
        if (!s.anonymous) taken.insert(s.name);
    for (size_t i = 0; i < pkg.sections.size(); ++i) {
        section& s = pkg.sections[i];
        if (!s.anonymous) continue;
        uint16_t hash = content_hash(s);
        char buf[32];
        do {
            std::snprintf(buf, sizeof buf, "cfg%02zx%04x", i, unsigned(hash++));
        } while (taken.count(buf));
        s.name = buf;
        taken.insert(s.name);
    }
}

}  // namespace

std::optional<package> parse(std::string_view text, const std::string& file_name,
                             const std::string& package_name, error& err) {
    package pkg;
    pkg.name = package_name;
    lexer lx{text};
    section* current = nullptr;
    std::unordered_map<std::string, size_t> named;  // section name -> index
    option_index options;                           // of the current section
    std::vector<std::string> words;
    int line = 1;
    std::string message;
    auto fail = [&](std::string what) -> std::optional<package> {
        err = error{file_name, line, std::move(what)};
        return std::nullopt;
    };

    while (next_statement(lx, words, line, message)) {
        const std::string& cmd = words[0];
        size_t args = words.size() - 1;
        if (cmd == "package") {
            if (args != 1) return fail("package takes one name");
            pkg.name = words[1];
        } else if (cmd == "config") {
            if (args < 1 || args > 2) return fail("config takes a type and an optional name");
            if (!valid_name(words[1], true)) return fail("invalid section type '" + words[1] + "'");
            bool anonymous = args == 1 || words[2].empty();
            if (!anonymous && !valid_name(words[2], false))
                return fail("invalid section name '" + words[2] + "'");
            auto known = anonymous ? named.end() : named.find(words[2]);
            if (known != named.end()) {
                current = &pkg.sections[known->second];
                current->type = words[1];  // a repeated name continues that section
            } else {
                if (!anonymous) named.emplace(words[2], pkg.sections.size());
                pkg.sections.push_back(section{words[1], anonymous ? "" : words[2], anonymous, {}});
                current = &pkg.sections.back();
            }
            index_options(*current, options);
        } else if (cmd == "option" || cmd == "list") {
            if (!current) return fail(cmd + " outside of a section");
            if (args != 2) return fail(cmd + " takes a name and one value");
            if (!valid_name(words[1], false)) return fail("invalid option name '" + words[1] + "'");
            set_option(*current, options, words[1], std::move(words[2]), cmd == "list");
        } else {
            return fail("invalid command '" + cmd + "'");
        }
    }
    if (!message.empty()) return fail(message);
    name_anonymous_sections(pkg);
    return pkg;
}

std::optional<package> load(const std::string& dir, const std::string& package_name,
                            error& err) {
    constexpr size_t max_file_size = 16 * 1024 * 1024;
    std::string path = dir.empty() || dir.back() == '/' ? dir + package_name
                                                         : dir + "/" + package_name;
    auto fail = [&](const char* what) -> std::optional<package> {
        err = error{path, 0, what};
        return std::nullopt;
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(std::strerror(errno));
    std::string text;
    char buf[4096];
    while (true) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            return fail(std::strerror(e));
        }
        if (n == 0) break;
        text.append(buf, size_t(n));
        if (text.size() > max_file_size) {
            ::close(fd);
            return fail("file too large");
        }
    }
    ::close(fd);
    return parse(text, path, package_name, err);
}

}  // namespace uci
