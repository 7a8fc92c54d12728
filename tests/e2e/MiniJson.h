// Just enough JSON for the tests to read the downloader's records: one flat
// object of strings, numbers, true, false and null. Strict about syntax, so
// a record that a real JSON reader would refuse fails here too.
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <string>

namespace MiniJson {

struct Value {
    enum Kind { Missing, String, Number, Bool, Null } kind = Missing;
    std::string text;
    double number = 0;
};

class Parser {
public:
    explicit Parser(const std::string& s) : m_S(s) {}

    bool Object(std::map<std::string, Value>& out, std::string& error)
    {
        Space();
        if (!Eat('{'))
            return Fail("expected {", error);
        Space();
        if (Eat('}'))
            return End(error);
        for (;;) {
            std::string key;
            Space();
            if (!String(key))
                return Fail("expected a key", error);
            Space();
            if (!Eat(':'))
                return Fail("expected :", error);
            Space();
            Value v;
            if (!ParseValue(v))
                return Fail("bad value for " + key, error);
            if (out.count(key))
                return Fail("duplicate key " + key, error);
            out[key] = v;
            Space();
            if (Eat(','))
                continue;
            if (Eat('}'))
                return End(error);
            return Fail("expected , or }", error);
        }
    }

private:
    bool End(std::string& error)
    {
        Space();
        return m_P == m_S.size() ? true : Fail("trailing text", error);
    }
    bool Fail(const std::string& what, std::string& error)
    {
        error = what + " at " + std::to_string(m_P) + " in: " + m_S;
        return false;
    }
    void Space()
    {
        while (m_P < m_S.size() && (m_S[m_P] == ' ' || m_S[m_P] == '\t' || m_S[m_P] == '\n' || m_S[m_P] == '\r'))
            ++m_P;
    }
    bool Eat(char c)
    {
        if (m_P < m_S.size() && m_S[m_P] == c) {
            ++m_P;
            return true;
        }
        return false;
    }
    bool Word(const char* w)
    {
        std::string word(w);
        if (m_S.compare(m_P, word.size(), word) != 0)
            return false;
        m_P += word.size();
        return true;
    }
    bool String(std::string& out)
    {
        if (!Eat('"'))
            return false;
        while (m_P < m_S.size()) {
            unsigned char c = static_cast<unsigned char>(m_S[m_P++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;  // control characters must be escaped
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (m_P >= m_S.size())
                return false;
            char e = m_S[m_P++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (m_P + 4 > m_S.size())
                    return false;
                for (size_t i = 0; i < 4; ++i)
                    if (!std::isxdigit(static_cast<unsigned char>(m_S[m_P + i])))
                        return false;
                long code = std::strtol(m_S.substr(m_P, 4).c_str(), nullptr, 16);
                m_P += 4;
                if (code >= 0x80)
                    return false;  // the records escape only ASCII controls
                out += static_cast<char>(code);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool ParseValue(Value& v)
    {
        if (m_P < m_S.size() && m_S[m_P] == '"') {
            v.kind = Value::String;
            return String(v.text);
        }
        if (Word("true")) {
            v.kind = Value::Bool;
            v.number = 1;
            return true;
        }
        if (Word("false")) {
            v.kind = Value::Bool;
            return true;
        }
        if (Word("null")) {
            v.kind = Value::Null;
            return true;
        }
        // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
        size_t start = m_P;
        Eat('-');
        if (Eat('0')) {
        } else if (m_P < m_S.size() && m_S[m_P] >= '1' && m_S[m_P] <= '9') {
            while (m_P < m_S.size() && std::isdigit(static_cast<unsigned char>(m_S[m_P])))
                ++m_P;
        } else {
            return false;
        }
        if (Eat('.')) {
            size_t digits = m_P;
            while (m_P < m_S.size() && std::isdigit(static_cast<unsigned char>(m_S[m_P])))
                ++m_P;
            if (m_P == digits)
                return false;
        }
        if (Eat('e') || Eat('E')) {
            if (!Eat('+'))
                Eat('-');
            size_t digits = m_P;
            while (m_P < m_S.size() && std::isdigit(static_cast<unsigned char>(m_S[m_P])))
                ++m_P;
            if (m_P == digits)
                return false;
        }
        v.kind = Value::Number;
        v.number = std::strtod(m_S.substr(start, m_P - start).c_str(), nullptr);
        return true;
    }

    const std::string& m_S;
    size_t m_P = 0;
};

inline bool ParseObject(const std::string& text, std::map<std::string, Value>& out, std::string& error)
{
    Parser p(text);
    return p.Object(out, error);
}

}  // namespace MiniJson
