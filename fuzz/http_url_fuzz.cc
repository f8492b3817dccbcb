// get_http_url on arbitrary values and defaults: it splits or throws the
// "cannot parse url" error; a split never loses or invents characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "config/config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    // The first byte chooses: the value of the parameter, or the default of
    // an absent one.
    const bool as_default = size > 0 && (data[0] & 1);
    const std::string url = size > 0 ? input.substr(1) : input;
    config_t config;
    if (!as_default) config.params[ci_string("Net/Url")].values.push_back(url);
    std::string server = "x", path = "y";
    try {
        config.get_http_url("Net/Url", as_default ? url : std::string("http://d/"), server, path);
        if (url.empty() ? !(server.empty() && path.empty()) : server.empty()) std::abort();
        const std::string::size_type at = url.find("://");
        const std::string rest = at == std::string::npos ? url : url.substr(at + 3);
        if (server + path != rest) std::abort();
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).compare(0, 17, "cannot parse url ") != 0) std::abort();
    }
    return 0;
}
