#include "config/config.hpp"

#include <new>

#include <boost/algorithm/string/case_conv.hpp>

void config_t::get_http_url(const std::string& name, const std::string& default_url,
                            std::string& server, std::string& path) const {
    std::string url;
    try {
        get(name, url);
    } catch (const std::bad_alloc&) {
        throw;  // no default stands in for a lack of memory
    } catch (const std::exception& e) {
        // Unlike get(), there is no way to silence this warning.
        warning(default_used(e.what(), default_url));
        url = default_url;
    }
    if (url.empty()) {
        server.clear();
        path.clear();
        return;
    }

    static const std::string separator = "://";
    const std::string::size_type at = url.find(separator);
    const std::string scheme = at == std::string::npos ? std::string() : url.substr(0, at);
    server = at == std::string::npos ? url : url.substr(at + separator.size());

    const std::string::size_type slash = server.find('/');
    if (slash == std::string::npos) {
        path.clear();
    } else {
        path = server.substr(slash);
        server.erase(slash);
    }

    if (server.empty() || (!scheme.empty() && boost::to_upper_copy(scheme) != "HTTP"))
        throw std::runtime_error("cannot parse url \"" + url + "\" at parameter \"" + name + "\"");
}
