// Case-insensitive strings: the key type of the parameter store.
//
// Letters compare without regard to case (ASCII only, as strncasecmp does in
// the "C" locale); every other byte compares by its unsigned value. Two keys
// are equal only when they have the same length and compare equal; otherwise
// the first differing character decides, and a key that is a prefix of
// another sorts first.
#pragma once

#include <cstddef>
#include <string>

struct ci_char_traits : public std::char_traits<char> {
    static unsigned char fold(char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
    }
    static bool eq(char a, char b) { return fold(a) == fold(b); }
    static bool lt(char a, char b) { return fold(a) < fold(b); }
    // The first n characters, without regard to case (strncasecmp's rule).
    static int compare(const char* a, const char* b, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char x = fold(a[i]);
            const unsigned char y = fold(b[i]);
            if (x != y) return x < y ? -1 : 1;
        }
        return 0;
    }
    static const char* find(const char* s, std::size_t n, char c) {
        const unsigned char f = fold(c);
        for (std::size_t i = 0; i < n; ++i)
            if (fold(s[i]) == f) return s + i;
        return nullptr;
    }
};

typedef std::basic_string<char, ci_char_traits> ci_string;
