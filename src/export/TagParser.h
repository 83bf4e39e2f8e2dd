// Splits a role string (key=value pairs separated by ";", where a backslash
// escapes a following ";", "=" or backslash) into a table of keys and values.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class CTagParser {
public:
    CTagParser() = default;
    virtual ~CTagParser() = default;

    // 0 when parsed (rejected segments are logged and skipped); -1 when text
    // is null or length is below 1 (the table is then left as it was).
    int32_t ParseRoleString(const char16_t* text, int32_t length);
    // 0 when a pair was added or its key was already present (the first value
    // stays); -1 when the segment is null, empty or has no unescaped "=".
    int32_t ParsePair(const char16_t* segment, int32_t length);

    // The value of key, or empty when absent.
    std::u16string GetString(const std::u16string& key) const;
    // The value read as a leading decimal number (0 when there is none), or
    // -1 when the key is absent.
    int32_t GetInt(const std::u16string& key) const;

private:
    // Ordered by code-unit comparison of the keys.
    std::map<std::u16string, std::u16string> mPairs;
};
