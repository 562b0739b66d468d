#include "cli/log_records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace {

// Longer than any record this program writes; a longer line is dropped as it is read.
constexpr std::size_t kMaxLineBytes = 64 * 1024;
constexpr std::size_t kMaxSerialBytes = 64;
constexpr std::size_t kMaxTextBytes = 256;

struct Value {
    bool isString = false;
    std::string text;  // a string unescaped, or any other value as written
};

// A strict reader of the flat objects this program writes: a line is taken whole or not at
// all, so no key inside a string value, duplicate key or trailing text can be misread as a
// record's field.
class FlatObject {
public:
    explicit FlatObject(const std::string& line) : s_(line) {}

    bool Parse(std::map<std::string, Value>* fields) {
        Space();
        if (!Eat('{')) return false;
        Space();
        if (Eat('}')) return End();
        for (;;) {
            std::string key;
            Value value;
            Space();
            if (!String(&key)) return false;
            Space();
            if (!Eat(':')) return false;
            Space();
            if (!Scalar(&value)) return false;
            if (!fields->emplace(std::move(key), std::move(value)).second) return false;
            Space();
            if (Eat('}')) return End();
            if (!Eat(',')) return false;
        }
    }

private:
    bool End() {
        Space();
        return i_ == s_.size();
    }
    void Space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
    }
    bool Eat(char c) {
        if (i_ >= s_.size() || s_[i_] != c) return false;
        ++i_;
        return true;
    }
    static int Hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    bool String(std::string* out) {
        if (!Eat('"')) return false;
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                *out += static_cast<char>(c);
                continue;
            }
            if (i_ >= s_.size()) return false;
            const char e = s_[i_++];
            static constexpr char kEscaped[] = "\"\\/bfnrt";
            static constexpr char kMeant[] = "\"\\/\b\f\n\r\t";
            if (const char* at = std::strchr(kEscaped, e); at != nullptr && e != 0) {
                *out += kMeant[at - kEscaped];
                continue;
            }
            if (e != 'u') return false;
            if (i_ + 4 > s_.size()) return false;
            int code = 0;
            for (int k = 0; k < 4; ++k) {
                const int h = Hex(s_[i_++]);
                if (h < 0) return false;
                code = code * 16 + h;
            }
            // This program escapes single bytes only; a wider character would have to
            // be cut to a byte, which could forge another text.
            if (code > 0xFF) return false;
            *out += static_cast<char>(code);
        }
        return false;
    }
    bool Scalar(Value* value) {
        if (i_ < s_.size() && s_[i_] == '"') {
            value->isString = true;
            return String(&value->text);
        }
        for (const char* word : {"true", "false", "null"}) {
            if (s_.compare(i_, std::strlen(word), word) == 0) {
                value->text = word;
                i_ += std::strlen(word);
                return true;
            }
        }
        const std::size_t from = i_;
        Eat('-');
        if (!Digits()) return false;
        if (Eat('.') && !Digits()) return false;
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (!Eat('+')) Eat('-');
            if (!Digits()) return false;
        }
        value->text = s_.substr(from, i_ - from);
        return true;
    }
    bool Digits() {
        const std::size_t from = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        return i_ > from;
    }

    const std::string& s_;
    std::size_t i_ = 0;
};

bool AllOf(const std::string& text, bool (*ok)(char)) {
    for (const char c : text)
        if (!ok(c)) return false;
    return true;
}
bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool IsPrintable(char c) {
    return c >= 0x20 && c <= 0x7E;
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsOutcomeWord(const std::string& word) {
    for (const char* known :
         {"started", "complete", "failed", "interrupted", "refused", "no-image"})
        if (word == known) return true;
    return false;
}

// `key` as a string of at most `limit` bytes, or absent (`required` false: left empty).
bool TakeText(const std::map<std::string, Value>& fields, const char* key, bool required,
              std::size_t limit, std::string* out) {
    const auto it = fields.find(key);
    if (it == fields.end()) return !required;
    if (!it->second.isString || it->second.text.size() > limit) return false;
    *out = it->second.text;
    return true;
}

bool ToRecord(const std::string& line, FlashRecord* r) {
    std::map<std::string, Value> fields;
    if (!FlatObject(line).Parse(&fields)) return false;
    if (!TakeText(fields, "upgrade_id", true, 32, &r->upgradeId) || r->upgradeId.size() != 32 ||
        !AllOf(r->upgradeId, IsHex))
        return false;
    if (!TakeText(fields, "outcome", true, 16, &r->outcome) || !IsOutcomeWord(r->outcome))
        return false;
    if (!TakeText(fields, "serial", true, kMaxSerialBytes, &r->serial) ||
        !AllOf(r->serial, IsPrintable))
        return false;
    if (!TakeText(fields, "start", true, 40, &r->start) || !IsRecordTime(r->start)) return false;
    if (!TakeText(fields, "image_crc32", true, 8, &r->imageCrc32) || r->imageCrc32.size() != 8 ||
        !AllOf(r->imageCrc32, IsHex))
        return false;
    if (!TakeText(fields, "old_version", false, kMaxTextBytes, &r->oldVersion) ||
        !TakeText(fields, "new_version", false, kMaxTextBytes, &r->newVersion) ||
        !TakeText(fields, "cause", false, kMaxTextBytes, &r->cause))
        return false;
    if (const auto it = fields.find("attempt"); it != fields.end()) {
        const std::string& n = it->second.text;
        if (it->second.isString || n.empty() || n.size() > 6 || !AllOf(n, IsDigit) || n[0] == '0')
            return false;
        r->attempt = std::stol(n);
    }
    return true;
}

}  // namespace

bool IsRecordTime(const std::string& t) {
    static constexpr char kShape[] = "dddd-dd-ddTdd:dd:dd";
    const std::size_t n = sizeof kShape - 1;
    if (t.size() < n + 1 || t.size() > n + 11 || t.back() != 'Z') return false;
    for (std::size_t k = 0; k < n; ++k)
        if (kShape[k] == 'd' ? !IsDigit(t[k]) : t[k] != kShape[k]) return false;
    const std::string fraction = t.substr(n, t.size() - n - 1);
    return fraction.empty() ||
           (fraction.size() > 1 && fraction[0] == '.' && AllOf(fraction.substr(1), IsDigit));
}

bool ReadFlashRecords(const std::string& path, const std::function<void(const FlashRecord&)>& each,
                      std::size_t* skipped, std::string* error) {
    *skipped = 0;
    // Non-blocking, so a FIFO with no writer is refused below instead of hanging the reader.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    const bool stated = ::fstat(fd, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode)) {
        *error = path + ": " + (stated ? "not a regular file" : std::strerror(errno));
        ::close(fd);
        return false;
    }
    std::string line;
    bool overlong = false;
    auto endLine = [&] {
        FlashRecord record;
        if (overlong || !ToRecord(line, &record)) {
            // An empty line holds nothing to skip.
            if (overlong || !line.empty()) ++*skipped;
        } else {
            each(record);
        }
        line.clear();
        overlong = false;
    };
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // a read error ends the log where it could be read
        const char* p = buffer;
        const char* end = buffer + n;
        while (p < end) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
            const char* stop = nl ? nl : end;
            if (!overlong) {
                if (line.size() + static_cast<std::size_t>(stop - p) > kMaxLineBytes) {
                    overlong = true;
                    line.clear();
                    line.shrink_to_fit();
                } else {
                    line.append(p, stop);
                }
            }
            p = stop;
            if (nl) {
                endLine();
                ++p;
            }
        }
    }
    if (overlong || !line.empty()) endLine();  // a last line without its newline
    ::close(fd);
    return true;
}

void BoardRecords::Add(const FlashRecord& record) {
    last_ = record;
    if (record.outcome == "started") {
        beforeStart_ = holding_;
        holding_ = record;
    } else if (record.outcome == "refused" || record.outcome == "no-image") {
        // Nothing was sent: the board holds what it held before the started line it answers.
        if (Unfinished() && holding_->upgradeId == record.upgradeId &&
            holding_->attempt == record.attempt) {
            holding_ = beforeStart_;
        }
    } else {
        holding_ = record;
    }
}
