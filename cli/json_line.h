// One-line JSON objects: the events of --json, the records of --log, and reading a child's
// events back under --all. Flat objects of strings and numbers are all this program writes.
#pragma once

#include <string>
#include <vector>

class JsonLine {
public:
    JsonLine& Text(const char* key, const std::string& value);
    JsonLine& Number(const char* key, double value, int decimals = 0);
    JsonLine& Bool(const char* key, bool value);
    // `json` as it stands: an object, an array or null this program built.
    JsonLine& Raw(const char* key, const std::string& json);
    // The object with its closing brace and a newline, ready for a single write.
    std::string Finish() const;
    // The object alone, to stand inside another.
    std::string Object() const { return body_ + "}"; }

private:
    void Key(const char* key);
    std::string body_ = "{";
};

// `value` as a JSON string, quotes included; every byte below 0x20 or from 0x7F up escaped.
std::string JsonString(const std::string& value);
// `items` (JSON values) as an array.
std::string JsonArray(const std::vector<std::string>& items);

// The value of `key` in a line this program wrote: a string unescaped, a number as its text.
// False when the key is absent.
bool JsonField(const std::string& line, const char* key, std::string* value);

// Wall-clock time as ISO 8601 in UTC with milliseconds, and seconds on a monotonic clock.
std::string UtcTimestamp();
double MonotonicSeconds();
