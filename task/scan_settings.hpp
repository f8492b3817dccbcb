// The scan task as the agent describes it, translated for the scanner.
//
// The agent's text is a flat list of tokens, each ended by a space (only a
// space), read as key/value pairs (double quotes group spaces; the first
// pair of a key wins; unknown keys are ignored). Construction validates the
// whole task: a bad value throws, and no record exists. Keys are applied in
// a fixed order, so the failure reported is that of the first bad key in
// that order.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include <boost/function.hpp>
#include <boost/lexical_cast/bad_lexical_cast.hpp>

#include "task/keyed_failure.hpp"

class scan_settings_t {
public:
    // Receives each line the translation prints, without its line end.
    typedef boost::function<void(const std::string&)> notice_sink_t;

    // A value its key cannot take: a boolean, number or action that does not
    // convert. Its message is the conversion's own, "bad lexical cast: source
    // type value could not be interpreted as target", which names nothing;
    // key(), value() and takes() say which key, what it was given and what
    // it takes ("a boolean is 1, +1, 0, +0 or -0").
    class bad_value : public boost::bad_lexical_cast, public keyed_failure {
    public:
        bad_value(const std::string& key, const std::string& value, const char* takes);
        const std::string& key() const { return key_; }
        const std::string& value() const { return value_; }
        const char* takes() const { return takes_; }
        const std::string& failed_key() const override { return key_; }
        const std::string& failed_value() const override { return value_; }

    private:
        std::string key_;
        std::string value_;
        const char* takes_;
    };

    // What the scanner is told to do with a finding. The values are not the
    // task's codes (0, 1, 2, 4, 8: see convert_action()) but indexes into
    // the table of words that action_word() writes.
    enum action_t : uint32_t {
        action_report = 0,
        action_cure = 1,
        action_move = 2,
        action_delete = 3,
        action_ignore = 4,
    };

    // Builds the record from the task text. Paths that are dropped are
    // reported to notices, one line each ("Skipping empty path",
    // "Skipping relative path: <path>"). What the task says that the
    // translation does not take as written is told to ignored, if given, one
    // line each, in the order met: "<why>, ignored: <key>" for a key it does
    // not know or a key given again (with the value dropped), ScanRemovable
    // and ScanFixed when IvaskPaths names a path, CheckContainer and
    // IncurableFiles when InfectedFiles is not Cure; a named path list of
    // which every path was dropped; an IvaskPaths that names no path, with
    // the fallback taken instead; an action code above 255 (see
    // convert_action()). Reads the environment's PATH only when the task
    // names no path and asks for no whole-system scan. Throws bad_value for a
    // value that does not convert.
    scan_settings_t(const std::string& text, const notice_sink_t& notices,
                    const notice_sink_t& ignored = notice_sink_t());

    // An action code of the task ("0", "1", "2", "4", "8"; only the low eight
    // bits of the unsigned 32-bit number count, which is told to told, if
    // given, as "<key> "<value>": only the low eight bits count: 4 (Delete)"
    // for a number above 255). key names the setting in the message for an
    // unlisted code, and in bad_value for a value that is not such a number.
    static action_t convert_action(const std::string& value, const std::string& key,
                                   const notice_sink_t& told = notice_sink_t());

    // Writes the action's word ("Report", "Cure", "Move", "Delete", "Ignore");
    // throws "Unknown action" for any other value.
    static void write_action(std::ostream& out, action_t action);
    // The same word, for writers that are not streams.
    static const char* action_word(action_t action);

    // Fields a key leaves out keep these values: nothing is deleted, moved or
    // cured unless the agent asked for it.
    bool heuristic_analysis = false;
    bool check_mail_files = false;
    bool check_archives = false;
    bool follow_links = false;
    action_t action_dialers = action_report;
    action_t action_infected = action_report;
    action_t action_incurable = action_report;
    action_t action_adware = action_report;
    action_t action_infected_mail = action_report;
    action_t action_infected_archive = action_report;
    action_t action_infected_container = action_report;
    action_t action_suspicious = action_report;
    action_t action_jokes = action_report;
    action_t action_riskware = action_report;
    action_t action_hacktools = action_report;
    uint32_t scan_timeout_ms = 0;
    uint32_t max_memory_allocation_size = 0;  // no key sets it
    uint32_t max_file_size_to_extract = 0;
    uint32_t max_compression_ratio = 0;
    uint32_t max_archive_level = 0;
    uint32_t compression_check_threshold = 0;
    std::vector<std::string> scan_paths;     // one "-path=" argument each
    std::vector<std::string> exclude_paths;  // the "ExcludePaths" line
};
