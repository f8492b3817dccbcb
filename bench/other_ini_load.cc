// The same as ini_load.cc with the INI libraries people pick, for comparison
// only: prints the number of parameters (or pairs) and the parse time in
// microseconds. Built once per library (ZELVO_LOAD_SIMPLEINI, _PTREE, _INIH).
#include <chrono>
#include <cstddef>
#include <cstdio>

#if defined(ZELVO_LOAD_SIMPLEINI)
#include <SimpleIni.h>
std::size_t load(const char* path) {
    static CSimpleIniA ini(false, true, false);  // multi-key: a repeated key keeps every value
    if (ini.LoadFile(path) < 0) return 0;
    CSimpleIniA::TNamesDepend sections;
    ini.GetAllSections(sections);
    std::size_t count = 0;
    for (const auto& section : sections) count += ini.GetSectionSize(section.pItem);
    return count;
}
#elif defined(ZELVO_LOAD_PTREE)
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
std::size_t load(const char* path) {
    static boost::property_tree::ptree tree;
    boost::property_tree::read_ini(path, tree);
    std::size_t count = 0;
    for (const auto& section : tree) count += section.second.size();
    return count;
}
#elif defined(ZELVO_LOAD_INIH)
#include <ini.h>
// inih stores nothing: it hands each pair to a callback, which counts them.
int count_pair(void* user, const char*, const char*, const char*) {
    ++*static_cast<std::size_t*>(user);
    return 1;
}
std::size_t load(const char* path) {
    std::size_t count = 0;
    return ini_parse(path, count_pair, &count) == 0 ? count : 0;
}
#endif

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const auto start = std::chrono::steady_clock::now();
    const std::size_t count = load(argv[1]);
    const auto took = std::chrono::steady_clock::now() - start;
    std::printf("%zu %.1f\n", count, std::chrono::duration<double, std::micro>(took).count());
    return count == 0 ? 1 : 0;
}
