// The INI reader: the file is cut into lines, and each line is offered to a
// fixed chain of line parsers (blank or comment, section header, parameter);
// the first that recognises it consumes it. Parameter lines have a small
// character-level scanner for quotes, escapes, continuations and comments.

#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "agent_utils/agent_utils.hpp"
#include "config/config.hpp"
#include "config/ini_reader.hpp"

namespace {

typedef std::vector<std::string_view> line_list;

using agent_utils::is_space;

template <class S> S trimmed(S s) {
    std::size_t begin = 0, end = s.size();
    while (begin < end && is_space(s[begin])) ++begin;
    while (end > begin && is_space(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

// Every LF, every CR and every CR LF pair ends one line. Nothing is merged
// otherwise: empty lines count, and a final line end leaves a last empty line.
line_list split_lines(const std::string& text) {
    line_list lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') continue;
        lines.emplace_back(text.data() + start, i - start);
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    lines.emplace_back(text.data() + start, text.size() - start);
    return lines;
}

struct line_cursor {
    const line_list& lines;
    std::size_t current;
};

class parse_error : public config_t::ini_error {
public:
    // current has already moved past the offending line, so it is the line's
    // 1-based number.
    parse_error(const line_cursor& cursor, const std::string& detail, const std::string& path)
        : config_t::ini_error("Parse error at line " + std::to_string(cursor.current) + ": " + detail, path,
                              cursor.current, std::string(cursor.lines[cursor.current - 1]), 0) {}
};

// Where the first character that is not whitespace is; the size if none is.
std::size_t skip_spaces(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && is_space(line[i])) ++i;
    return i;
}

// The text before the first comment character, trimmed.
std::string_view strip_comment(std::string_view line) {
    std::size_t end = 0;
    while (end < line.size() && line[end] != '#' && line[end] != ';') ++end;
    return trimmed(line.substr(0, end));
}

class parser {
public:
    virtual bool try_parse(line_cursor& cursor, config_t::params_t& params, ci_string& section,
                           const std::string& path) = 0;
    virtual ~parser() {}
};

class empty_parser : public parser {
public:
    bool try_parse(line_cursor& cursor, config_t::params_t&, ci_string&, const std::string&) override {
        // strip_comment(line) is empty exactly when the line holds nothing
        // but whitespace before its end or a comment character.
        const std::string_view line = cursor.lines[cursor.current++];
        const std::size_t first = skip_spaces(line);
        return first == line.size() || line[first] == '#' || line[first] == ';';
    }
};

class sec_parser : public parser {
public:
    // headers, where given, hears of each section header.
    explicit sec_parser(std::vector<ci_string>* headers) : headers_(headers) {}
    bool try_parse(line_cursor& cursor, config_t::params_t&, ci_string& section,
                   const std::string&) override {
        const std::string_view line = cursor.lines[cursor.current++];
        const std::size_t first = skip_spaces(line);
        if (first == line.size() || line[first] != '[') return false;  // the header text would not start with it
        const std::string_view text = trimmed(strip_comment(line));
        if (text.size() <= 2 || text.front() != '[' || text.back() != ']') return false;
        std::string_view name = text.substr(1, text.size() - 2);
        name = trimmed(name.substr(0, name.find('\0')));
        section.assign(name.data(), name.size());
        if (headers_ != nullptr) headers_->push_back(section);
        return true;
    }

private:
    std::vector<ci_string>* headers_;
};

class data_parser : public parser {
public:
    bool try_parse(line_cursor& cursor, config_t::params_t& params, ci_string& section,
                   const std::string& path) override;

private:
    static bool finish(std::vector<std::string>& items, config_t::params_t& params, const ci_string& section,
                       const std::string& key_text, const std::string& path);
};

// One character at a time: the name up to the first "=", then the value's
// items with their quotes, escapes, blanks, continuations and comment.
bool data_parser::try_parse(line_cursor& cursor, config_t::params_t& params, ci_string& section,
                            const std::string& path) {
    enum state_t { key, before_item, item, blanks, escape, quoted };

    std::string_view line = cursor.lines[cursor.current++];
    std::string key_text;
    std::vector<std::string> items(1);  // a line always yields at least one item
    std::string pending_blanks;
    state_t state = key;
    state_t resume = item;

    for (std::size_t i = 0;;) {
        const bool at_end = i == line.size();
        const char c = at_end ? '\0' : line[i];
        const bool stops_item = at_end || c == '#' || c == ';';
        bool consumed = true;
        switch (state) {
        case key:
            if (at_end) throw parse_error(cursor, "No '=' sign found", path);
            if (c == '=') {
                key_text = trimmed(key_text);
                if (key_text.empty()) throw parse_error(cursor, "Parameter name empty", path);
                state = before_item;
            } else {
                key_text += c;
            }
            break;
        case before_item:
            if (stops_item) return finish(items, params, section, key_text, path);
            if (!is_space(c)) {
                state = item;
                consumed = false;
            }
            break;
        case item:
            if (stops_item) return finish(items, params, section, key_text, path);
            if (c == '"') {
                items.back() += c;
                state = quoted;
            } else if (c == ',') {
                items.emplace_back();
                state = before_item;
            } else if (c == '\\') {
                resume = item;
                state = escape;
            } else if (c == ' ' || c == '\t') {
                pending_blanks.assign(1, c);
                state = blanks;
            } else {
                items.back() += c;
            }
            break;
        case blanks:  // blanks at an item's end are dropped
            if (stops_item) return finish(items, params, section, key_text, path);
            if (c == ',') {
                items.emplace_back();
                state = before_item;
            } else if (is_space(c)) {
                pending_blanks += c;
            } else {
                items.back() += pending_blanks;
                state = item;
                consumed = false;
            }
            break;
        case escape:
            if (!at_end) {
                items.back() += c;
                state = resume;
            } else if (cursor.current < cursor.lines.size()) {
                // A backslash at the end of a line joins the next line, raw.
                line = cursor.lines[cursor.current++];
                i = 0;
                state = resume;
                consumed = false;
            } else {
                return finish(items, params, section, key_text, path);
            }
            break;
        case quoted:  // an unterminated quote stays in the item
            if (at_end) return finish(items, params, section, key_text, path);
            if (c == '\\') {
                resume = quoted;
                state = escape;
            } else {
                items.back() += c;
                if (c == '"') state = item;
            }
            break;
        }
        if (consumed) ++i;
    }
}

// Adds the line's items to the parameter "<section>/<name>", whose source
// becomes the file's path.
bool data_parser::finish(std::vector<std::string>& items, config_t::params_t& params, const ci_string& section,
                         const std::string& key_text, const std::string& path) {
    for (std::string& item : items) agent_utils::kill_quotes(item);
    ci_string key = section;
    key += '/';
    key += key_text.c_str();  // the name ends at its first NUL
    config_t::param_entry& entry = params[key];
    entry.values.insert(entry.values.end(), std::make_move_iterator(items.begin()),
                        std::make_move_iterator(items.end()));
    entry.source = path;
    return true;
}

}  // namespace

void config_t::parse_ini_file(const std::string& path) {
    std::string text;
    try {
        text = agent_utils::read_file(path);
    } catch (const agent_utils::read_error& e) {
        throw ini_error(e.what(), path, 0, std::string(), e.error_number());
    }
    config_detail::parse_ini_text(params, text, path);
}

void config_detail::parse_ini_text(config_t::params_t& params, const std::string& text, const std::string& path,
                                   std::vector<ci_string>* sections) {
    const line_list lines = split_lines(text);
    ci_string section;

    empty_parser empty;
    sec_parser header(sections);
    data_parser data;
    parser* const chain[] = {&empty, &header, &data};

    std::size_t current = 0;
    while (current < lines.size()) {
        for (parser* p : chain) {
            line_cursor cursor{lines, current};
            if (p->try_parse(cursor, params, section, path)) {
                current = cursor.current;
                break;
            }
        }
    }
}
