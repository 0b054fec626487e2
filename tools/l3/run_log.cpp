#include "run_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace l3tool {

namespace {

// Reads one JSON value at a time from a line; only what a log line needs is kept, the rest
// (fault lists, messages) is passed over with its nesting checked.
class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    bool at(char c) {
        skipSpace();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool atEnd() {
        skipSpace();
        return pos_ == text_.size();
    }
    bool peek(char c) {
        skipSpace();
        return pos_ < text_.size() && text_[pos_] == c;
    }
    bool word(std::string_view w) {
        skipSpace();
        if (text_.substr(pos_, w.size()) != w) return false;
        pos_ += w.size();
        return true;
    }

    // A string, its escapes undone (\uXXXX as UTF-8, a surrogate pair as one character).
    bool string(std::string& out) {
        out.clear();
        if (!at('"')) return false;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) return false;
            const char e = text_[pos_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    uint32_t code;
                    if (!hex4(code)) return false;
                    if (code >= 0xD800 && code < 0xDC00) {
                        uint32_t low;
                        if (text_.substr(pos_, 2) != "\\u") return false;
                        pos_ += 2;
                        if (!hex4(low) || low < 0xDC00 || low >= 0xE000) return false;
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    } else if (code >= 0xDC00 && code < 0xE000) {
                        return false;
                    }
                    appendUtf8(out, code);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    // A whole number that fits 64 bits (signed, or unsigned when positive).
    bool integer(bool& negative, uint64_t& magnitude) {
        skipSpace();
        negative = pos_ < text_.size() && text_[pos_] == '-';
        if (negative) ++pos_;
        const size_t start = pos_;
        magnitude = 0;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            const uint64_t digit = static_cast<uint64_t>(text_[pos_] - '0');
            if (magnitude > (UINT64_MAX - digit) / 10) return false;
            magnitude = magnitude * 10 + digit;
            ++pos_;
        }
        if (pos_ == start) return false;
        // A fraction or exponent: not a whole number as this log writes them.
        return pos_ == text_.size() ||
               (text_[pos_] != '.' && text_[pos_] != 'e' && text_[pos_] != 'E');
    }

    // Any value, its nesting bounded.
    bool skipValue(int depth = 0) {
        if (depth > 64) return false;
        skipSpace();
        if (pos_ >= text_.size()) return false;
        const char c = text_[pos_];
        std::string ignored;
        if (c == '"') return string(ignored);
        if (c == '{' || c == '[') {
            ++pos_;
            const char close = c == '{' ? '}' : ']';
            if (at(close)) return true;
            do {
                if (c == '{' && !(string(ignored) && at(':'))) return false;
                if (!skipValue(depth + 1)) return false;
            } while (at(','));
            return at(close);
        }
        if (word("true") || word("false") || word("null")) return true;
        if (c == '-' || (c >= '0' && c <= '9')) {
            if (c == '-') ++pos_;
            const size_t start = pos_;
            while (pos_ < text_.size() && std::strchr("0123456789.eE+-", text_[pos_])) ++pos_;
            return pos_ > start;
        }
        return false;
    }

private:
    void skipSpace() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\r' || text_[pos_] == '\n'))
            ++pos_;
    }
    bool hex4(uint32_t& code) {
        if (text_.size() - pos_ < 4) return false;
        code = 0;
        for (int k = 0; k < 4; ++k) {
            const char h = text_[pos_++];
            const int v = h >= '0' && h <= '9'   ? h - '0'
                          : h >= 'a' && h <= 'f' ? h - 'a' + 10
                          : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                 : -1;
            if (v < 0) return false;
            code = code << 4 | static_cast<uint32_t>(v);
        }
        return true;
    }
    static void appendUtf8(std::string& out, uint32_t code) {
        auto byte = [&](uint32_t b) { out += static_cast<char>(b); };
        if (code < 0x80) {
            byte(code);
        } else if (code < 0x800) {
            byte(0xC0 | code >> 6);
            byte(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            byte(0xE0 | code >> 12);
            byte(0x80 | (code >> 6 & 0x3F));
            byte(0x80 | (code & 0x3F));
        } else {
            byte(0xF0 | code >> 18);
            byte(0x80 | (code >> 12 & 0x3F));
            byte(0x80 | (code >> 6 & 0x3F));
            byte(0x80 | (code & 0x3F));
        }
    }

    std::string_view text_;
    size_t pos_ = 0;
};

// A size (unsigned) or a time in nanoseconds (signed); null leaves the field unset.
bool readStampField(JsonReader& in, std::optional<FileStamp>& stamp, bool size, bool& isNull) {
    isNull = in.word("null");
    if (isNull) return true;
    bool negative;
    uint64_t magnitude;
    if (!in.integer(negative, magnitude)) return false;
    if (!stamp) stamp.emplace();
    if (size) {
        if (negative) return false;
        stamp->size = magnitude;
    } else {
        if (magnitude > (negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1)) return false;
        stamp->mtimeNs =
            negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    }
    return true;
}

// 64-bit FNV-1a over bytes, from a given start, and a final mix so that the two halves of a
// key, started differently, do not move together.
uint64_t hashBytes(uint64_t h, const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 0x100000001b3u;
    return h;
}
uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdu;
    h ^= h >> 33;
    return h;
}

}  // namespace

bool stampOf(const std::string& path, FileStamp& stamp) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return false;
    stamp.size = static_cast<uint64_t>(info.st_size);
    stamp.mtimeNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return true;
}

std::string stampFields(const std::optional<FileStamp>& stamp, std::string_view prefix) {
    const std::string p(prefix);
    if (!stamp) return "\"" + p + "size\": null, \"" + p + "mtime_ns\": null";
    return "\"" + p + "size\": " + std::to_string(stamp->size) + ", \"" + p +
           "mtime_ns\": " + std::to_string(stamp->mtimeNs);
}

bool parseLogLine(std::string_view line, LoggedFile& entry) {
    entry = LoggedFile{};
    JsonReader in(line);
    if (!in.at('{')) return false;
    bool haveFile = false, haveSize = false, haveTime = false, haveOutSize = false,
         haveOutTime = false;
    std::string key;
    if (!in.peek('}')) {
        do {
            if (!in.string(key) || !in.at(':')) return false;
            bool isNull = false;
            if (key == "file") {
                if (!in.string(entry.file)) return false;
                haveFile = true;
            } else if (key == "output") {
                if (!in.string(entry.output)) return false;
            } else if (key == "size" || key == "mtime_ns") {
                if (!readStampField(in, entry.stamp, key == "size", isNull)) return false;
                (key == "size" ? haveSize : haveTime) = !isNull;
            } else if (key == "output_size" || key == "output_mtime_ns") {
                if (!readStampField(in, entry.outputStamp, key == "output_size", isNull))
                    return false;
                (key == "output_size" ? haveOutSize : haveOutTime) = !isNull;
            } else if (key == "status") {
                bool negative;
                uint64_t value;
                if (!in.integer(negative, value) || negative || value > 255) return false;
                entry.status = static_cast<int>(value);
            } else if (!in.skipValue()) {
                return false;
            }
        } while (in.at(','));
    }
    if (!in.at('}') || !in.atEnd() || !haveFile) return false;
    // A stamp counts only whole: size and time both given.
    if (!(haveSize && haveTime)) entry.stamp.reset();
    if (!(haveOutSize && haveOutTime) || entry.output.empty()) entry.outputStamp.reset();
    return true;
}

RunLog::~RunLog() {
    if (fd_ >= 0) ::close(fd_);
}

RunLog::Key RunLog::keyOf(std::string_view path, const FileStamp& stamp, int status) {
    uint64_t high = hashBytes(0xcbf29ce484222325u, path.data(), path.size());
    uint64_t low = hashBytes(0x84222325cbf29ce4u ^ path.size(), path.data(), path.size());
    const uint64_t fields[2] = {stamp.size, static_cast<uint64_t>(stamp.mtimeNs)};
    high = mix(hashBytes(high, fields, sizeof fields));
    low = mix(hashBytes(low ^ 0x9e3779b97f4a7c15u, fields, sizeof fields) + high);
    return {high, low, status};
}

void RunLog::take(std::string_view line) {
    LoggedFile entry;
    if (!parseLogLine(line, entry)) return;
    ++linesRead_;
    if (entry.stamp) keys_.push_back(keyOf(entry.file, *entry.stamp, entry.status));
    if (entry.outputStamp) keys_.push_back(keyOf(entry.output, *entry.outputStamp, entry.status));
}

bool RunLog::open(const std::string& path, std::string& error) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        error = std::strerror(errno);
        return false;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "in use by another run" : std::strerror(errno);
        return false;
    }
    // Complete lines as they come; what follows the last newline is a line cut short.
    std::vector<char> block(size_t{1} << 20);
    std::string pending;
    uint64_t complete = 0, read = 0;
    for (;;) {
        const ssize_t n = ::read(fd_, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        read += static_cast<uint64_t>(n);
        size_t from = 0;
        for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
            if (block[i] != '\n') continue;
            if (pending.empty()) {
                take(std::string_view(block.data() + from, i - from));
            } else {
                pending.append(block.data() + from, i - from);
                take(pending);
                pending.clear();
            }
            from = i + 1;
            complete = read - static_cast<uint64_t>(n) + i + 1;
        }
        pending.append(block.data() + from, static_cast<size_t>(n) - from);
    }
    if (read > complete && ::ftruncate(fd_, static_cast<off_t>(complete)) != 0) {
        error = std::string("cannot cut off its partial last line: ") + std::strerror(errno);
        return false;
    }
    std::sort(keys_.begin(), keys_.end(), [](const Key& a, const Key& b) {
        return a.high != b.high ? a.high < b.high : a.low < b.low;
    });
    return true;
}

std::optional<int> RunLog::find(const std::string& path, const FileStamp& stamp) const {
    const Key key = keyOf(path, stamp, 0);
    const auto it =
        std::lower_bound(keys_.begin(), keys_.end(), key, [](const Key& a, const Key& b) {
            return a.high != b.high ? a.high < b.high : a.low < b.low;
        });
    if (it == keys_.end() || it->high != key.high || it->low != key.low) return std::nullopt;
    return it->status;
}

bool RunLog::append(const std::string& line, std::string& error) {
    const std::string text = line + '\n';
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = std::strerror(n < 0 ? errno : EIO);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace l3tool
