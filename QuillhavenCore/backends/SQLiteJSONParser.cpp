#include "backends/SQLiteJSONParser.h"

#include "support/Text.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <simdjson.h>

namespace quillhaven {

namespace {

const char* prefixFor(SQLiteJSONParserError::Case c) {
    switch (c) {
    case SQLiteJSONParserError::Case::encodingFailed:
        return "JSON parse encoding failed: ";
    case SQLiteJSONParserError::Case::unexpectedFormat:
        return "JSON parse unexpected format: ";
    case SQLiteJSONParserError::Case::syntaxError:
        return "";
    }
    return "";
}

} // namespace

SQLiteJSONParserError::SQLiteJSONParserError(Case c, const std::string& text)
    : Error(prefixFor(c) + text), case_(c), text_(text) {}

namespace SQLiteJSONParser {
namespace {

using Case = SQLiteJSONParserError::Case;
using simdjson::dom::element;
using simdjson::dom::element_type;

bool isAsciiSpace(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f';
}

// Trims white space and line breaks. The common case (ASCII only at both ends) needs no
// copy; Unicode spaces at an end take the general helper, which needs storage.
std::string_view trim(std::string_view s, std::string& storage) {
    while (!s.empty() && isAsciiSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isAsciiSpace(s.back())) s.remove_suffix(1);
    if (!s.empty() && (static_cast<unsigned char>(s.front()) >= 0x80 ||
                       static_cast<unsigned char>(s.back()) >= 0x80)) {
        storage = text::trimWhitespace(s);
        return storage;
    }
    return s;
}

[[noreturn]] void syntaxError(simdjson::error_code code) {
    throw SQLiteJSONParserError(Case::syntaxError,
                                std::string("JSON syntax error: ") + simdjson::error_message(code));
}

[[noreturn]] void wrongShape(std::string_view trimmed) {
    throw SQLiteJSONParserError(Case::unexpectedFormat, "Expected JSON array of objects, got: " +
                                                            text::shortenForLog(trimmed, 200));
}

// --- Numbers the reader refuses -------------------------------------------------------
// The shell prints infinities as 1e999 and the reader holds no number outside the double
// range nor integers past 64 bits. Such numbers are rewritten before a second read: big
// integers as the nearest double, infinities as marker strings that no shell output can
// contain (they start with a NUL and carry a per-process nonce) and that become doubles.

const std::string& infinityMarker(bool negative) {
    static const std::string nonce = [] {
        std::random_device rd;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%08x%08x", rd(), rd());
        return std::string(buf);
    }();
    static const std::string positive = std::string(1, '\0') + "qh+inf:" + nonce;
    static const std::string negativeMarker = std::string(1, '\0') + "qh-inf:" + nonce;
    return negative ? negativeMarker : positive;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Whether t is a JSON number; integer tells whether it has no fraction and no exponent.
bool isJSONNumber(std::string_view t, bool& integer) {
    std::size_t i = 0, n = t.size();
    integer = true;
    if (i < n && t[i] == '-') ++i;
    if (i >= n || !isDigit(t[i])) return false;
    if (t[i] == '0') {
        ++i;
    } else {
        while (i < n && isDigit(t[i])) ++i;
    }
    if (i < n && t[i] == '.') {
        integer = false;
        if (++i >= n || !isDigit(t[i])) return false;
        while (i < n && isDigit(t[i])) ++i;
    }
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        integer = false;
        ++i;
        if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
        if (i >= n || !isDigit(t[i])) return false;
        while (i < n && isDigit(t[i])) ++i;
    }
    return i == n;
}

bool fits64Bits(const std::string& integer) {
    errno = 0;
    if (integer[0] == '-') {
        std::strtoll(integer.c_str(), nullptr, 10);
    } else {
        std::strtoull(integer.c_str(), nullptr, 10);
    }
    return errno != ERANGE;
}

// The text with every out-of-range number rewritten; unchanged tokens are left as they are
// so that a real syntax error is still reported by the second read.
std::string rewriteNumbers(std::string_view in) {
    std::string out;
    out.reserve(in.size() + 64);
    bool inString = false;
    for (std::size_t i = 0; i < in.size();) {
        char c = in[i];
        if (inString) {
            out += c;
            if (c == '\\' && i + 1 < in.size()) {
                out += in[i + 1];
                i += 2;
                continue;
            }
            if (c == '"') inString = false;
            ++i;
            continue;
        }
        if (c == '"') {
            inString = true;
            out += c;
            ++i;
            continue;
        }
        if (c != '-' && !isDigit(c)) {
            out += c;
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < in.size() && (isDigit(in[end]) || in[end] == '-' || in[end] == '+' ||
                                   in[end] == '.' || in[end] == 'e' || in[end] == 'E'))
            ++end;
        std::string_view token = in.substr(i, end - i);
        bool integer;
        if (isJSONNumber(token, integer)) {
            std::string copy(token);
            double d = std::strtod(copy.c_str(), nullptr);
            if (std::isinf(d)) {
                out += "\"\\u0000" + infinityMarker(d < 0).substr(1) + "\"";
            } else if (integer && !fits64Bits(copy)) {
                char buf[40];
                std::snprintf(buf, sizeof buf, "%.17e", d);
                out += buf;
            } else {
                out += token;
            }
        } else {
            out += token;
        }
        i = end;
    }
    return out;
}

Cell cellOf(const element& value, bool markers) {
    switch (value.type()) {
    case element_type::STRING: {
        std::string_view s = value.get_string().value_unsafe();
        if (markers && !s.empty() && s[0] == '\0') {
            if (s == infinityMarker(false)) return CellValue(HUGE_VAL);
            if (s == infinityMarker(true)) return CellValue(-HUGE_VAL);
        }
        return CellValue(std::string(s));
    }
    case element_type::INT64:
        return CellValue(value.get_int64().value_unsafe());
    case element_type::UINT64:
        // Past the 64-bit signed range: keep it as a real rather than fail the row.
        return CellValue(static_cast<double>(value.get_uint64().value_unsafe()));
    case element_type::DOUBLE:
        return CellValue(value.get_double().value_unsafe());
    case element_type::BOOL:
        return CellValue(value.get_bool().value_unsafe());
    case element_type::NULL_VALUE:
        return std::nullopt;
    case element_type::ARRAY:
    case element_type::OBJECT:
        // The shell never nests values; keep any such value as its JSON text.
        return CellValue(simdjson::minify(value));
    }
    return std::nullopt;
}

// Readers are reused (their buffers grow to the largest answer they have read, and fresh
// memory costs more than the parse) through a small pool shared by all threads. A reader
// that grew past this size is dropped after use so it does not hold the memory.
constexpr std::size_t keptReaderLimit = 64 << 20;

class ReaderPool {
public:
    std::unique_ptr<simdjson::dom::parser> take() {
        std::lock_guard lock(mutex_);
        if (free_.empty()) return std::make_unique<simdjson::dom::parser>();
        auto p = std::move(free_.back());
        free_.pop_back();
        return p;
    }
    void give(std::unique_ptr<simdjson::dom::parser> p) {
        if (p->capacity() > keptReaderLimit) return;
        std::lock_guard lock(mutex_);
        if (free_.size() < 8) free_.push_back(std::move(p));
    }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<simdjson::dom::parser>> free_;
};

ReaderPool& readers() {
    static ReaderPool pool;
    return pool;
}

// Length of the well-formed UTF-8 sequence at p[i] (lead byte >= 0x80), or 0.
std::size_t sequenceLength(const unsigned char* p, std::size_t i, std::size_t n) {
    unsigned char b = p[i];
    std::size_t len;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
    } else {
        return 0;
    }
    if (i + len > n) return 0;
    for (std::size_t k = 1; k < len; ++k)
        if ((p[i + k] & 0xC0) != 0x80) return 0;
    unsigned char c = p[i + 1];
    if (b == 0xE0 && c < 0xA0) return 0; // overlong
    if (b == 0xED && c > 0x9F) return 0; // surrogate
    if (b == 0xF0 && c < 0x90) return 0; // overlong
    if (b == 0xF4 && c > 0x8F) return 0; // past U+10FFFF
    return len;
}

// Every byte that does not start a well-formed sequence becomes U+FFFD. Runs of valid
// text are copied whole; this is the hot path for results holding blobs.
std::string repairUTF8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size(), i = 0, copied = 0;
    std::string out;
    out.reserve(n + n / 8);
    while (i < n) {
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        if (std::size_t len = sequenceLength(p, i, n)) {
            i += len;
            continue;
        }
        out.append(s.data() + copied, i - copied);
        out += "\xEF\xBF\xBD";
        copied = ++i;
    }
    out.append(s.data() + copied, n - copied);
    return out;
}

// Appends the array's objects to rows. Columns come from the first object when
// hasColumns is still false, in the order the shell printed them; a repeated name is a
// column of its own.
void build(simdjson::dom::array array, bool markers, std::vector<ColumnDef>& columns,
           bool& hasColumns, std::vector<Row>& rows) {
    std::vector<bool> filled;
    rows.reserve(rows.size() + array.size());
    for (element item : array) {
        simdjson::dom::object object = item.get_object().value_unsafe();
        Row row;
        if (!hasColumns) {
            row.reserve(object.size());
            for (auto field : object) {
                columns.push_back(ColumnDef{std::string(field.key), PGTypeOID::text, -1});
                row.push_back(cellOf(field.value, markers));
            }
            hasColumns = true;
        } else {
            row.resize(columns.size());
            std::size_t next = 0; // the shell prints every row's keys in column order
            bool inOrder = true;
            for (auto field : object) {
                if (inOrder && next < columns.size() && columns[next].name == field.key) {
                    row[next++] = cellOf(field.value, markers);
                    continue;
                }
                if (inOrder) {
                    inOrder = false;
                    filled.assign(columns.size(), false);
                    for (std::size_t j = 0; j < next; ++j) filled[j] = true;
                }
                // Any other order: the n-th key of a name fills the n-th column of that name;
                // keys the first object lacks are ignored.
                std::size_t j = 0;
                while (j < columns.size() && (filled[j] || columns[j].name != field.key)) ++j;
                if (j < columns.size()) {
                    row[j] = cellOf(field.value, markers);
                    filled[j] = true;
                }
            }
        }
        rows.push_back(std::move(row));
    }
}

// Reads trimmed, valid UTF-8 text into rows (see build); false for an empty array.
bool read(simdjson::dom::parser& parser, std::string_view trimmed, std::vector<ColumnDef>& columns,
          bool& hasColumns, std::vector<Row>& rows) {
    element root;
    auto err = parser.parse(trimmed.data(), trimmed.size()).get(root);
    bool markers = false;
    std::string rewritten;
    if (err == simdjson::NUMBER_ERROR) {
        rewritten = rewriteNumbers(trimmed);
        markers = true;
        err = parser.parse(rewritten.data(), rewritten.size()).get(root);
    }
    if (err) syntaxError(err);

    simdjson::dom::array array;
    if (root.get_array().get(array)) wrongShape(trimmed);
    for (element item : array)
        if (!item.is_object()) wrongShape(trimmed);
    if (array.size() == 0) return false;
    build(array, markers, columns, hasColumns, rows);
    return true;
}

// Reads output (already trimmed) with a reader from the pool, mending raw blob bytes
// first: the shell prints them inside strings as they are.
bool readMended(std::string_view trimmed, std::vector<ColumnDef>& columns, bool& hasColumns,
                std::vector<Row>& rows) {
    std::string repaired;
    if (!simdjson::validate_utf8(trimmed.data(), trimmed.size())) {
        repaired = repairUTF8(trimmed);
        trimmed = repaired;
    }
    auto parser = readers().take();
    bool any = read(*parser, trimmed, columns, hasColumns, rows);
    readers().give(std::move(parser));
    return any;
}

} // namespace

std::optional<QueryResult> parse(std::string_view output) {
    std::string storage;
    std::string_view trimmed = trim(output, storage);
    if (trimmed.empty() || trimmed == "[]") return std::nullopt;
    QueryResult result;
    bool hasColumns = false;
    if (!readMended(trimmed, result.columns, hasColumns, result.rows)) return std::nullopt;
    return result;
}

std::vector<Row> PartReader::read(std::string_view part) {
    std::string storage;
    std::vector<Row> rows;
    readMended(trim(part, storage), columns_, hasColumns_, rows);
    return rows;
}

void RowBoundaryScanner::addLine(std::string_view line) {
    // Lines were split at line feeds; inside a string the line feed is one of its bytes.
    if (broken_) return;
    if (started_ && inString_) escaped_ = false;
    started_ = true;
    for (char c : line) {
        if (inString_) {
            if (escaped_) {
                escaped_ = false;
            } else if (c == '\\') {
                escaped_ = true;
            } else if (c == '"') {
                inString_ = false;
            }
            continue;
        }
        if (isAsciiSpace(c)) continue;
        switch (c) {
        case '"':
            inString_ = true;
            break;
        case '[':
            // Only the answer itself is an array ...
            if (depth_ != 0 || last_ != 0) broken_ = true;
            ++depth_;
            break;
        case '{':
            // ... and its items are objects, one after another.
            if (depth_ != 1 || (last_ != '[' && last_ != ',')) broken_ = true;
            ++depth_;
            break;
        case ']':
        case '}':
            if (--depth_ < 0) broken_ = true;
            break;
        default:
            if (depth_ < 2 && c != ',') broken_ = true;
            break;
        }
        last_ = c;
    }
}

} // namespace SQLiteJSONParser
} // namespace quillhaven
