// The parameter store: named parameters, each with the place it came from and
// an ordered list of string values, read from INI files and looked up singly.
//
// Contract in short:
//  - keys are case-insensitive ("Scanner/TempPath" and "scanner/temppath" are
//    one parameter) and keep the spelling they were first inserted with;
//  - parse_ini_file() appends the values of every parameter line it reads
//    (key "Section/name"), set() replaces them;
//  - get(name, out) wants exactly one value and throws otherwise;
//    get(name, out, default, quiet) never fails for a missing or malformed
//    parameter: it takes the default and hands a warning to the logger;
//  - nothing here prints: warnings go to the logger, failures are exceptions.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/function.hpp>
#include <boost/lexical_cast.hpp>

#include "config/ci_char_traits.hpp"

class ref_counted_t {
public:
    ref_counted_t() : ref_count(0) {}
    virtual ~ref_counted_t() {}

    int32_t ref_count;
};

class config_t : public ref_counted_t {
public:
    typedef boost::function<void(const std::string&)> logger_t;

    // An entry: the file (or the caller of set) that defined the parameter,
    // empty in an entry that was inserted and not yet filled, and its values
    // in order of appearance. params maps case-insensitive keys (ci_string,
    // first spelling kept) to entries, in key order.
    struct param_entry {
        std::string source;
        std::vector<std::string> values;
    };
    typedef std::map<ci_string, param_entry> params_t;

    class param_not_found : public std::runtime_error {
    public:
        explicit param_not_found(const std::string& message) : std::runtime_error(message) {}
    };

    // Value types the single-value lookups refuse.
    template <class T> struct is_container : std::false_type {};
    template <class T, class A> struct is_container<std::list<T, A>> : std::true_type {};
    template <class T, class A> struct is_container<std::vector<T, A>> : std::true_type {};
    template <class T, class A> struct is_container<std::deque<T, A>> : std::true_type {};
    template <class T, class C, class A> struct is_container<std::set<T, C, A>> : std::true_type {};

    config_t();
    ~config_t() override;

    // The INI reader's failure, its message ("Failed to read file <path>",
    // "Parse error at line N: <detail>") and its details as data: the file;
    // for a malformed line its number (from 1) and text; for a file that
    // could not be read line 0 and why (see agent_utils::read_error).
    class ini_error : public std::runtime_error {
    public:
        ini_error(const std::string& message, const std::string& path, std::size_t line, const std::string& line_text,
                  int error_number)
            : std::runtime_error(message), path_(path), line_(line), line_text_(line_text), error_number_(error_number) {}
        const std::string& path() const { return path_; }
        std::size_t line() const { return line_; }
        const std::string& line_text() const { return line_text_; }
        int error_number() const { return error_number_; }

    private:
        std::string path_;
        std::size_t line_;
        std::string line_text_;
        int error_number_;
    };

    // Reads an INI file into the store. Throws ini_error when the file
    // cannot be read or on a malformed line; entries from lines before that
    // line stay.
    void parse_ini_file(const std::string& path);

    // Creates or replaces the parameter: value is split at every comma.
    void set(const std::string& name, const std::string& source, const std::string& value);
    void clear();
    void set_logger(const logger_t& new_logger);

    // "in <source> at parameter \"<name>\": <message>", leaving out the
    // origin when there is no such parameter and the name piece when the
    // name is empty.
    std::string mk_msg(const std::string& message, const std::string& name) const;
    void warning(const std::string& message) const;

    // Strict lookup: exactly one value, or param_not_found (absent),
    // std::logic_error (no value) or std::runtime_error (several values).
    // out is written only on success.
    template <class T>
    typename std::enable_if<!is_container<T>::value>::type
    get(const std::string& name, T& out) const {
        convert(single_value(name), out);
    }

    // Lookup with a default: a failure of the strict lookup itself (absent,
    // no value, several values, not convertible) becomes the default and,
    // unless quiet, the warning "<failure>. Default value (<default>) used."
    // Running out of memory is no such failure: std::bad_alloc passes
    // through, so that a run never goes on with defaults it was not meant
    // to take.
    template <class T>
    typename std::enable_if<!is_container<T>::value>::type
    get(const std::string& name, T& out, const typename std::common_type<T>::type& default_value,
        bool quiet) const {
        try {
            get(name, out);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            if (!quiet) warning(default_used(e.what(), as_text(default_value)));
            out = default_value;
        }
    }

    // Splits an HTTP URL parameter into server ("host[:port]") and path
    // (from the first "/"). A missing or malformed parameter falls back to
    // default_url with a warning; a scheme other than http or an empty server
    // throws "cannot parse url \"<url>\" at parameter \"<name>\"".
    void get_http_url(const std::string& name, const std::string& default_url, std::string& server,
                      std::string& path) const;

    params_t params;
    logger_t logger;

private:
    const std::string& single_value(const std::string& name) const;
    static std::string default_used(const std::string& failure, const std::string& default_text);

    static void convert(const std::string& value, std::string& out) { out = value; }
    template <class T> static void convert(const std::string& value, T& out) {
        out = boost::lexical_cast<T>(value);
    }
    static const std::string& as_text(const std::string& value) { return value; }
    template <class T> static std::string as_text(const T& value) {
        return boost::lexical_cast<std::string>(value);
    }
};
