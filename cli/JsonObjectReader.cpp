#include "JsonObjectReader.h"

#include <charconv>
#include <cmath>

namespace {

// Deeper than any record will ever be, shallow enough to bound the memory
// a hostile line can ask for.
const size_t kMaxDepth = 256;

void AppendUtf8(std::string& out, unsigned cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class CReader {
public:
    explicit CReader(const std::string& s) : m_S(s) {}

    bool Object(std::map<std::string, JsonField>& out)
    {
        Space();
        if (!Eat('{'))
            return Fail("not a JSON object: expected '{'");
        Space();
        if (!Eat('}')) {
            for (;;) {
                Space();
                const size_t keyAt = m_P;
                std::string key;
                if (!Key(&key))
                    return false;
                Space();
                JsonField value;
                if (!Value(value))
                    return false;
                if (!out.emplace(key, value).second) {
                    m_P = keyAt;
                    return Fail("the key \"" + key + "\" a second time");
                }
                Space();
                if (Eat(','))
                    continue;
                if (Eat('}'))
                    break;
                return Fail("expected ',' or '}'");
            }
        }
        Space();
        return m_P == m_S.size() || Fail("text after the object");
    }

    const std::string& Why() const { return m_Why; }

private:
    bool Fail(const std::string& what)
    {
        m_Why = what + " at column " + std::to_string(m_P + 1);
        return false;
    }
    char Peek() const { return m_P < m_S.size() ? m_S[m_P] : '\0'; }
    bool Eat(char c)
    {
        if (m_P < m_S.size() && m_S[m_P] == c) {
            ++m_P;
            return true;
        }
        return false;
    }
    void Space()
    {
        while (m_P < m_S.size() && (m_S[m_P] == ' ' || m_S[m_P] == '\t' || m_S[m_P] == '\r' || m_S[m_P] == '\n'))
            ++m_P;
    }

    // A member's key and its colon; out may be nullptr.
    bool Key(std::string* out)
    {
        if (Peek() != '"')
            return Fail("expected a key in double quotes");
        if (!String(out))
            return false;
        Space();
        return Eat(':') || Fail("expected ':' after a key");
    }

    bool Hex4(unsigned& v)
    {
        if (m_P + 4 > m_S.size())
            return false;
        v = 0;
        for (size_t i = 0; i < 4; ++i) {
            const char c = m_S[m_P + i];
            const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0)
                return false;
            v = v * 16 + static_cast<unsigned>(d);
        }
        m_P += 4;
        return true;
    }

    // At the opening quote; out may be nullptr (the value is not kept).
    bool String(std::string* out)
    {
        std::string text;
        ++m_P;
        for (;;) {
            if (m_P >= m_S.size())
                return Fail("a string that does not end");
            const unsigned char c = static_cast<unsigned char>(m_S[m_P]);
            if (c == '"')
                break;
            if (c < 0x20)
                return Fail("a control character in a string");
            ++m_P;
            if (c != '\\') {
                text += static_cast<char>(c);
                continue;
            }
            const char e = Peek();
            ++m_P;
            switch (e) {
            case '"': text += '"'; break;
            case '\\': text += '\\'; break;
            case '/': text += '/'; break;
            case 'b': text += '\b'; break;
            case 'f': text += '\f'; break;
            case 'n': text += '\n'; break;
            case 'r': text += '\r'; break;
            case 't': text += '\t'; break;
            case 'u': {
                unsigned cp = 0;
                if (!Hex4(cp))
                    return Fail("a \\u escape without four hex digits");
                // A pair of surrogates is one character; one alone is none.
                if (cp >= 0xD800 && cp <= 0xDBFF && m_S.compare(m_P, 2, "\\u") == 0) {
                    const size_t at = m_P;
                    unsigned low = 0;
                    m_P += 2;
                    if (Hex4(low) && low >= 0xDC00 && low <= 0xDFFF)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    else
                        m_P = at;
                }
                AppendUtf8(text, cp >= 0xD800 && cp <= 0xDFFF ? 0xFFFD : cp);
                break;
            }
            default:
                --m_P;
                return Fail("an unknown escape in a string");
            }
        }
        ++m_P;
        if (out)
            *out = std::move(text);
        return true;
    }

    bool Digits()
    {
        const size_t from = m_P;
        while (m_P < m_S.size() && m_S[m_P] >= '0' && m_S[m_P] <= '9')
            ++m_P;
        return m_P > from;
    }

    bool Number(JsonField& f)
    {
        const size_t from = m_P;
        Eat('-');
        if (Eat('0')) {
            if (Peek() >= '0' && Peek() <= '9')
                return Fail("a number with a leading zero");
        } else if (!Digits()) {
            return Fail("expected a value");
        }
        if (Eat('.') && !Digits())
            return Fail("a number without digits after its point");
        if (Peek() == 'e' || Peek() == 'E') {
            ++m_P;
            if (!Eat('+'))
                Eat('-');
            if (!Digits())
                return Fail("a number without digits in its exponent");
        }
        f.kind = JsonField::Kind::Number;
        f.text = m_S.substr(from, m_P - from);
        // from_chars: the C locale's decimal point whatever the user's.
        const auto r = std::from_chars(m_S.data() + from, m_S.data() + m_P, f.number);
        if (r.ec != std::errc() || !std::isfinite(f.number)) {
            m_P = from;
            return Fail("a number out of range");
        }
        return true;
    }

    bool Word(const char* word, JsonField::Kind kind, JsonField& f)
    {
        const std::string w(word);
        if (m_S.compare(m_P, w.size(), w) != 0)
            return Fail("expected a value");
        m_P += w.size();
        f.kind = kind;
        return true;
    }

    bool Scalar(JsonField& f)
    {
        switch (Peek()) {
        case '"': f.kind = JsonField::Kind::String; return String(&f.text);
        case 't': return Word("true", JsonField::Kind::True, f);
        case 'f': return Word("false", JsonField::Kind::False, f);
        case 'n': return Word("null", JsonField::Kind::Null, f);
        default: return Number(f);
        }
    }

    bool Value(JsonField& f)
    {
        if (Peek() != '{' && Peek() != '[')
            return Scalar(f);
        f.kind = JsonField::Kind::Nested;
        return Nested();
    }

    // An object or array, checked and passed over with a stack of the
    // brackets still open rather than by recursion.
    bool Nested()
    {
        std::string closers;
        for (;;) {
            // A value is due here.
            Space();
            const char c = Peek();
            if (c == '{' || c == '[') {
                if (closers.size() >= kMaxDepth)
                    return Fail("values nested too deeply");
                ++m_P;
                closers += c == '{' ? '}' : ']';
                Space();
                if (!Eat(closers.back())) {
                    if (closers.back() == '}' && !Key(nullptr))
                        return false;
                    continue;
                }
                closers.pop_back();
            } else {
                JsonField ignored;
                if (!Scalar(ignored))
                    return false;
            }
            // A value has ended: close what it ended, or go on to the next.
            for (;;) {
                if (closers.empty())
                    return true;
                Space();
                if (Eat(',')) {
                    Space();
                    if (closers.back() == '}' && !Key(nullptr))
                        return false;
                    break;
                }
                if (!Eat(closers.back()))
                    return Fail(closers.back() == '}' ? "expected ',' or '}'" : "expected ',' or ']'");
                closers.pop_back();
            }
        }
    }

    const std::string& m_S;
    size_t m_P = 0;
    std::string m_Why;
};

}  // namespace

bool ReadJsonObject(const std::string& text, std::map<std::string, JsonField>& fields, std::string& why)
{
    fields.clear();
    CReader reader(text);
    if (reader.Object(fields)) {
        why.clear();
        return true;
    }
    fields.clear();
    why = reader.Why();
    return false;
}
