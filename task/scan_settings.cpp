#include "task/scan_settings.hpp"

#include <iterator>
#include <ostream>
#include <set>
#include <stdexcept>

#include <boost/lexical_cast.hpp>
#include <boost/tokenizer.hpp>

#include "task/keyed_failure.hpp"
#include "task/scan_paths.hpp"
#include "task/task_pairs.hpp"

using task_detail::find_setting;
using task_detail::settings_map;

namespace {

// An optional single sign, then one or more decimal digits and nothing else.
// Checked before the conversion so that no other spelling the installed
// conversion might take (blanks, grouping) gets through.
bool is_plain_integer(const std::string& value) {
    std::string::size_type i = (!value.empty() && (value[0] == '+' || value[0] == '-')) ? 1 : 0;
    if (i == value.size()) return false;
    for (; i < value.size(); ++i)
        if (value[i] < '0' || value[i] > '9') return false;
    return true;
}

// What each kind of value takes, for bad_value.
const char* const boolean_takes = "a boolean is 1, +1, 0, +0 or -0";
const char* const number_takes = "a number is digits with an optional sign, from -2147483648 to 2147483647";
const char* const action_takes = "an action is 0 (Report), 1 (Cure), 2 (Move), 4 (Delete) or 8 (Ignore)";

// The plain integer value converted to Number, or bad_value for key.
template <class Number> Number to_integer(const std::string& value, const std::string& key, const char* takes) {
    Number number = 0;
    if (!is_plain_integer(value) || !boost::conversion::try_lexical_convert(value, number))
        throw scan_settings_t::bad_value(key, value, takes);
    return number;
}

// A signed 32-bit number, kept as its bit pattern: "-1" is 4294967295.
uint32_t to_number(const std::string& value, const char* key) {
    return static_cast<uint32_t>(to_integer<int32_t>(value, key, number_takes));
}

const char* const key_interactive = "ScanInteractive";
const char* const key_incurable = "IncurableFiles";

struct boolean_key {
    const char* key;
    bool scan_settings_t::*field;  // null: validated, value unused
};
struct number_key {
    const char* key;
    uint32_t scan_settings_t::*field;
};
struct action_key {
    const char* key;
    scan_settings_t::action_t scan_settings_t::*field;
};

// The option keys in the order they are applied.
const boolean_key boolean_keys[] = {
    {"ScanHeuristic", &scan_settings_t::heuristic_analysis},
    {"CheckContainer", nullptr},
    {"CheckEMailFiles", &scan_settings_t::check_mail_files},
    {"CheckArchives", &scan_settings_t::check_archives},
    {"FollowSymbolicLinks", &scan_settings_t::follow_links},
};
const number_key number_keys[] = {
    {"MaxCompressionRatio", &scan_settings_t::max_compression_ratio},
    {"MaxSizeToExtract", &scan_settings_t::max_file_size_to_extract},
    {"MaxArchLevel", &scan_settings_t::max_archive_level},
    {"MaxTimeMills", &scan_settings_t::scan_timeout_ms},
    {"RatioCheckThreshold", &scan_settings_t::compression_check_threshold},
};
const action_key action_keys[] = {
    {"ActionDialers", &scan_settings_t::action_dialers},
    {"InfectedFiles", &scan_settings_t::action_infected},
    {key_incurable, &scan_settings_t::action_incurable},
    {"ActionAdware", &scan_settings_t::action_adware},
    {"ActionInfectedMail", &scan_settings_t::action_infected_mail},
    {"ActionInfectedArchive", &scan_settings_t::action_infected_archive},
    {"ActionInfectedContainer", &scan_settings_t::action_infected_container},
    {"SuspiciousFiles", &scan_settings_t::action_suspicious},
    {"ActionJokes", &scan_settings_t::action_jokes},
    {"ActionRiskware", &scan_settings_t::action_riskware},
    {"ActionHacktools", &scan_settings_t::action_hacktools},
};


// The keys the translation reads. Every other pair is ignored, so it is not
// even stored: a task may carry hundreds of thousands of them.
bool is_known_key(const std::string& key) {
    static const std::set<std::string> known = [] {
        std::set<std::string> keys = {key_interactive};
        keys.insert(std::begin(task_detail::path_keys), std::end(task_detail::path_keys));
        for (const boolean_key& k : boolean_keys) keys.insert(k.key);
        for (const number_key& k : number_keys) keys.insert(k.key);
        for (const action_key& k : action_keys) keys.insert(k.key);
        return keys;
    }();
    return known.count(key) != 0;
}

settings_map read_pairs(const std::string& text, const scan_settings_t::notice_sink_t& ignored) {
    typedef boost::escaped_list_separator<char> separator;
    typedef boost::tokenizer<separator> tokenizer;
    // No escape character; blanks separate; double quotes group.
    const tokenizer tokens(text, separator(std::string(), " ", "\""));

    settings_map pairs;
    std::string key;
    bool awaiting_value = false;
    for (tokenizer::const_iterator it = tokens.begin(); it != tokens.end(); ++it) {
        if (!awaiting_value)
            key = *it;
        else if (!is_known_key(key))
            task_detail::tell_ignored(ignored, "not a task key", key);
        else if (!pairs.emplace(key, *it).second)  // the first pair of a key wins
            task_detail::tell_ignored(ignored, "given again (the first value counts)", key + " \"" + *it + "\"");
        awaiting_value = !awaiting_value;
    }
    if (awaiting_value)
        throw keyed_error("Malformed task settings: key \"" + key + "\" has no value", key);
    return pairs;
}

}  // namespace

bool task_detail::to_bool(const std::string& value, const char* key) {
    if (value == "1" || value == "+1") return true;
    if (value == "0" || value == "+0" || value == "-0") return false;
    throw scan_settings_t::bad_value(key, value, boolean_takes);
}

void task_detail::tell_ignored(const scan_settings_t::notice_sink_t& ignored, const char* why, const std::string& key) {
    if (ignored) ignored(std::string(why) + ", ignored: " + key);
}

scan_settings_t::bad_value::bad_value(const std::string& key, const std::string& value, const char* takes)
    : key_(key), value_(value), takes_(takes) {}

scan_settings_t::scan_settings_t(const std::string& text, const notice_sink_t& notices, const notice_sink_t& ignored) {
    const settings_map settings = read_pairs(text, ignored);

    const std::string* interactive = find_setting(settings, key_interactive);
    if (interactive != nullptr && task_detail::to_bool(*interactive, key_interactive))
        throw keyed_error("Interactive scan is not supported", key_interactive, *interactive);

    task_detail::select_paths(settings, scan_paths, exclude_paths, notices, ignored);

    for (const boolean_key& k : boolean_keys) {
        if (const std::string* value = find_setting(settings, k.key)) {
            const bool on = task_detail::to_bool(*value, k.key);
            if (k.field != nullptr)
                this->*k.field = on;
            else
                task_detail::tell_ignored(ignored, "checked, but no scanner setting takes it", k.key);
        }
    }
    for (const number_key& k : number_keys) {
        if (const std::string* value = find_setting(settings, k.key)) this->*k.field = to_number(*value, k.key);
    }
    for (const action_key& k : action_keys) {
        if (const std::string* value = find_setting(settings, k.key))
            this->*k.field = convert_action(*value, k.key, ignored);
    }
    // The scanner config carries it only when curing.
    if (action_infected != action_cure && find_setting(settings, key_incurable) != nullptr)
        task_detail::tell_ignored(ignored, "used only when InfectedFiles is 1 (Cure)", key_incurable);
}

scan_settings_t::action_t scan_settings_t::convert_action(const std::string& value, const std::string& key,
                                                          const notice_sink_t& told) {
    // A leading "-" negates modulo 2^32; only the low eight bits are the code.
    const uint32_t number = to_integer<uint32_t>(value, key, action_takes);
    action_t action;
    switch (number & 0xFFu) {
    case 0: action = action_report; break;
    case 1: action = action_cure; break;
    case 2: action = action_move; break;
    case 4: action = action_delete; break;
    case 8: action = action_ignore; break;
    default:
        throw keyed_error("Malformed task settings: unknown action code " + value + " for " + key, key, value);
    }
    if (number > 0xFFu && told)
        told(key + " \"" + value + "\": only the low eight bits count: " + std::to_string(number & 0xFFu) + " (" +
             action_word(action) + ")");
    return action;
}

const char* scan_settings_t::action_word(action_t action) {
    static const char* const words[] = {"Report", "Cure", "Move", "Delete", "Ignore"};
    if (static_cast<uint32_t>(action) >= sizeof words / sizeof words[0])
        throw std::runtime_error("Unknown action");
    return words[action];
}

void scan_settings_t::write_action(std::ostream& out, action_t action) { out << action_word(action); }
