#include "cli/json_line.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string JsonString(const std::string& value) {
    std::string out = "\"";
    for (unsigned char c : value) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    // Board texts are raw bytes; keep the line valid JSON whatever they hold.
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string JsonArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (const std::string& item : items) out += (out.size() > 1 ? "," : "") + item;
    return out + "]";
}

JsonLine& JsonLine::Text(const char* key, const std::string& value) {
    Key(key);
    body_ += JsonString(value);
    return *this;
}

JsonLine& JsonLine::Bool(const char* key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::Raw(const char* key, const std::string& json) {
    Key(key);
    body_ += json;
    return *this;
}

JsonLine& JsonLine::Number(const char* key, double value, int decimals) {
    Key(key);
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    body_ += text;
    return *this;
}

void JsonLine::Key(const char* key) {
    if (body_.size() > 1) body_ += ',';
    body_ += '"';
    body_ += key;
    body_ += "\":";
}

std::string JsonLine::Finish() const {
    return body_ + "}\n";
}

bool JsonField(const std::string& line, const char* key, std::string* value) {
    const std::string pattern = std::string("\"") + key + "\":";
    std::size_t at = 0;
    // A key is only a key where a value does not contain it: values never hold an unescaped
    // quote, so the pattern's leading quote can only start a key.
    while ((at = line.find(pattern, at)) != std::string::npos) {
        if (at > 0 && (line[at - 1] == '{' || line[at - 1] == ',')) break;
        ++at;
    }
    if (at == std::string::npos) return false;
    std::size_t i = at + pattern.size();
    value->clear();
    if (i < line.size() && line[i] == '"') {
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            char c = line[i];
            if (c == '\\' && i + 1 < line.size()) {
                c = line[++i];
                if (c == 'n') {
                    c = '\n';
                } else if (c == 'u' && i + 4 < line.size()) {
                    c = static_cast<char>(std::strtol(line.substr(i + 1, 4).c_str(), nullptr, 16));
                    i += 4;
                }
            }
            *value += c;
        }
        return true;
    }
    for (; i < line.size() && line[i] != ',' && line[i] != '}'; ++i) *value += line[i];
    return true;
}

std::string UtcTimestamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  now.tv_nsec / 1000000);
    return text;
}

double MonotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
