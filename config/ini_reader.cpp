// The INI reader: the file is cut into lines, and each line is offered to a
// fixed chain of line parsers (blank or comment, section header, parameter);
// the first that recognises it consumes it. Parameter lines have a small
// character-level scanner for quotes, escapes, continuations and comments.

#include <cstddef>
#include <iterator>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "agent_utils/agent_utils.hpp"
#include "config/config.hpp"
#include "config/ini_reader.hpp"

namespace {

typedef std::vector<std::string_view> line_list;

// Whitespace of the "C" locale; bytes above 0x7F never are.
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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
    const char* const data = text.data();
    const char* const end = data + text.size();
    const char* start = data;
    for (;;) {
        // The next LF, then any CR before it: memchr is far quicker than a
        // look at every byte. A line end at the very end leaves an empty
        // last line, found on the next turn.
        const char* lf = static_cast<const char*>(std::memchr(start, '\n', static_cast<std::size_t>(end - start)));
        const char* stop = lf ? lf : end;
        const char* cr = static_cast<const char*>(std::memchr(start, '\r', static_cast<std::size_t>(stop - start)));
        const char* line_end = cr ? cr : stop;
        lines.emplace_back(start, static_cast<std::size_t>(line_end - start));
        if (line_end == end) return lines;
        // CR LF is one line end; a lone CR or LF is one too.
        start = line_end + (*line_end == '\r' && line_end + 1 < end && line_end[1] == '\n' ? 2 : 1);
    }
}

struct line_cursor {
    const line_list& lines;
    std::size_t current;
};

class parse_error : public std::runtime_error {
public:
    // current has already moved past the offending line, so it is the line's
    // 1-based number.
    parse_error(const line_cursor& cursor, const std::string& detail)
        : std::runtime_error("Parse error at line " + std::to_string(cursor.current) + ": " + detail) {}
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
                           const config_t::source_t& path) = 0;
    virtual ~parser() {}
};

class empty_parser : public parser {
public:
    bool try_parse(line_cursor& cursor, config_t::params_t&, ci_string&, const config_t::source_t&) override {
        // strip_comment(line) is empty exactly when the line holds nothing
        // but whitespace before its end or a comment character.
        const std::string_view line = cursor.lines[cursor.current++];
        const std::size_t first = skip_spaces(line);
        return first == line.size() || line[first] == '#' || line[first] == ';';
    }
};

class sec_parser : public parser {
public:
    bool try_parse(line_cursor& cursor, config_t::params_t&, ci_string& section,
                   const config_t::source_t&) override {
        const std::string_view line = cursor.lines[cursor.current++];
        const std::size_t first = skip_spaces(line);
        if (first == line.size() || line[first] != '[') return false;  // the header text would not start with it
        const std::string_view text = trimmed(strip_comment(line));
        if (text.size() <= 2 || text.front() != '[' || text.back() != ']') return false;
        std::string_view name = text.substr(1, text.size() - 2);
        name = trimmed(name.substr(0, name.find('\0')));
        section.assign(name.data(), name.size());
        return true;
    }
};

class data_parser : public parser {
public:
    // wanted: the keys to store, or null for all of them.
    data_parser(config_t::params_t& params, const std::set<ci_string>* wanted)
        : last_(params.end()), wanted_(wanted) {}
    bool try_parse(line_cursor& cursor, config_t::params_t& params, ci_string& section,
                   const config_t::source_t& path) override;

private:
    // Where the last parameter went: in a file the next one mostly belongs
    // right after it, which the map then finds without a search.
    config_t::params_t::iterator last_;
    const std::set<ci_string>* wanted_;
    ci_string key_;                         // reused from line to line
    std::vector<std::string> items_;        // the line's items, reused from line to line
};

// Characters that end a run of plain characters inside an item.
bool ends_plain_run(char c) {
    return c == '"' || c == ',' || c == '\\' || c == ' ' || c == '\t' || c == '#' || c == ';';
}

bool data_parser::try_parse(line_cursor& cursor, config_t::params_t& params, ci_string& section,
                            const config_t::source_t& path) {
    enum state_t { before_item, item, blanks, escape, quoted };

    std::string_view line = cursor.lines[cursor.current++];

    // The name is everything before the first "=", trimmed. Both errors come
    // before anything is stored, so a failing line writes nothing.
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) throw parse_error(cursor, "No '=' sign found");
    std::string_view name = trimmed(line.substr(0, equals));
    if (name.empty()) throw parse_error(cursor, "Parameter name empty");
    name = name.substr(0, name.find('\0'));

    key_.assign(section).append(1, '/').append(name.data(), name.size());
    config_t::param_entry* entry = nullptr;
    if (wanted_ == nullptr || wanted_->count(key_) != 0) {
        // A new entry takes its source at once: a default one would look up
        // the empty string among the shared sources first.
        last_ = params.try_emplace(last_, key_, path);
        entry = &last_->second;
    }

    // The line's items are collected first and then added to the entry's
    // values at once, so that the vector takes the size it needs; a line
    // always yields at least one, possibly empty. The value of a key that is
    // not stored is still scanned: a continuation decides where the next
    // line starts.
    std::vector<std::string>& values = items_;
    values.clear();
    std::string* value = &values.emplace_back();
    std::size_t blanks_start = 0;  // where the pending blanks begin in line
    state_t state = before_item;
    state_t resume = item;

    std::size_t i = equals + 1;
    for (bool finished = false; !finished;) {
        const bool at_end = i == line.size();
        const char c = at_end ? '\0' : line[i];
        const bool stops_item = at_end || c == '#' || c == ';';
        switch (state) {
        case before_item:
            if (stops_item) {
                finished = true;
            } else if (is_space(c)) {
                ++i;
            } else {
                state = item;
            }
            break;
        case item:
            if (stops_item) {
                finished = true;
            } else if (!ends_plain_run(c)) {
                std::size_t end = i + 1;
                while (end < line.size() && !ends_plain_run(line[end])) ++end;
                value->append(line.data() + i, end - i);
                i = end;
            } else {
                ++i;
                if (c == '"') {
                    *value += c;
                    state = quoted;
                } else if (c == ',') {
                    value = &values.emplace_back();
                    state = before_item;
                } else if (c == '\\') {
                    resume = item;
                    state = escape;
                } else {  // a space or a tab
                    blanks_start = i - 1;
                    state = blanks;
                }
            }
            break;
        case blanks:
            if (stops_item) {
                finished = true;  // trailing blanks are dropped
            } else if (c == ',') {
                ++i;
                value = &values.emplace_back();
                state = before_item;
            } else if (is_space(c)) {
                ++i;
            } else {
                value->append(line.data() + blanks_start, i - blanks_start);
                state = item;
            }
            break;
        case escape:
            if (!at_end) {
                ++i;
                *value += c;
                state = resume;
            } else if (cursor.current < cursor.lines.size()) {
                // A backslash at the end of a line joins the next line, raw.
                line = cursor.lines[cursor.current++];
                i = 0;
                state = resume;
            } else {
                finished = true;
            }
            break;
        case quoted:
            if (at_end) {
                finished = true;
            } else if (c == '\\') {
                ++i;
                resume = quoted;
                state = escape;
            } else {
                std::size_t end = i + 1;
                if (c != '"')
                    while (end < line.size() && line[end] != '"' && line[end] != '\\') ++end;
                value->append(line.data() + i, end - i);
                if (c == '"') state = item;
                i = end;
            }
            break;
        }
    }

    if (entry == nullptr) return true;
    for (std::string& item : values) agent_utils::kill_quotes(item);
    entry->values.insert(entry->values.end(), std::make_move_iterator(values.begin()),
                         std::make_move_iterator(values.end()));
    entry->source = path;
    return true;
}

}  // namespace

void config_t::parse_ini_file(const std::string& path) {
    config_detail::parse_ini_text(params, agent_utils::read_file(path), path);
}

void config_t::parse_ini_file(const std::string& path, const std::set<ci_string>& wanted) {
    config_detail::parse_ini_text(params, agent_utils::read_file(path), path, &wanted);
}

void config_detail::parse_ini_text(config_t::params_t& params, const std::string& text, const std::string& path,
                                   const std::set<ci_string>* wanted) {
    const line_list lines = split_lines(text);
    const config_t::source_t source(path);
    ci_string section;

    empty_parser empty;
    sec_parser header;
    data_parser data(params, wanted);
    parser* const chain[] = {&empty, &header, &data};

    std::size_t current = 0;
    while (current < lines.size()) {
        for (parser* p : chain) {
            line_cursor cursor{lines, current};
            if (p->try_parse(cursor, params, section, source)) {
                current = cursor.current;
                break;
            }
        }
    }
}
