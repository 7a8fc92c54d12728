#include "HelloPayload.h"

#include <cctype>

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

const char kCounters[] = "the counters are {line}, {box} and {serial}";

}  // namespace

CHelloPayload::CHelloPayload()
{
    Piece box;
    box.bytes = {'B', 'O', 'X', 1};
    m_Pieces.push_back(box);
}

bool CHelloPayload::AddHexBytes(const std::string& text, std::string& error)
{
    // Bytes as pairs of digits, which spaces or colons may set apart.
    Piece piece;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':') {
            if (high >= 0) {
                error = "hex: a lone digit before '" + std::string(1, c) + "' in '" + text + "'";
                return false;
            }
            continue;
        }
        int d = HexDigit(c);
        if (d < 0) {
            error = "hex: '" + std::string(1, c) + "' is not a hex digit";
            return false;
        }
        if (high < 0) {
            high = d;
        } else {
            piece.bytes.push_back(static_cast<unsigned char>(high * 16 + d));
            high = -1;
        }
    }
    if (high >= 0) {
        error = "hex: an odd number of digits in '" + text + "'";
        return false;
    }
    if (!piece.bytes.empty())
        m_Pieces.push_back(piece);
    return true;
}

bool CHelloPayload::ParseCounter(const std::string& inside, Piece& piece, std::string& error) const
{
    const size_t colon = inside.find(':');
    const std::string name = inside.substr(0, colon);
    if (name == "line")
        piece.counter = kLine;
    else if (name == "box")
        piece.counter = kBox;
    else if (name == "serial")
        piece.counter = kSerial;
    else {
        error = "unknown counter {" + inside + "}: " + kCounters;
        return false;
    }
    piece.width = m_Hex ? 4 : 0;
    if (colon == std::string::npos)
        return true;
    const std::string width = inside.substr(colon + 1);
    const int most = m_Hex ? 8 : 20;
    bool digits = !width.empty() && width.size() <= 2;
    for (char c : width)
        digits = digits && std::isdigit(static_cast<unsigned char>(c));
    piece.width = digits ? std::stoi(width) : -1;
    if (piece.width < (m_Hex ? 1 : 0) || piece.width > most) {
        error = "{" + inside + "}: the width after ':' is " +
                (m_Hex ? std::string("the counter's bytes, 1 to 8") : std::string("its digits, 0 to 20"));
        return false;
    }
    return true;
}

bool CHelloPayload::Parse(const std::string& given, std::string& error)
{
    m_Pieces.clear();
    std::string body = given;
    m_Hex = body.rfind("hex:", 0) == 0;
    if (m_Hex)
        body = body.substr(4);
    else if (body.rfind("text:", 0) == 0)
        body = body.substr(5);

    std::string literal;
    auto flush = [&]() {
        if (m_Hex) {
            if (!AddHexBytes(literal, error))
                return false;
        } else if (!literal.empty()) {
            Piece text;
            text.bytes.assign(literal.begin(), literal.end());
            m_Pieces.push_back(text);
        }
        literal.clear();
        return true;
    };
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        const bool doubled = i + 1 < body.size() && body[i + 1] == c;
        if ((c == '{' || c == '}') && doubled && !m_Hex) {
            literal += c;
            ++i;
            continue;
        }
        if (c == '}') {
            error = "a '}' with no '{' before it" + std::string(m_Hex ? "" : " (write }} for the character)");
            return false;
        }
        if (c != '{') {
            literal += c;
            continue;
        }
        const size_t close = body.find('}', i + 1);
        if (close == std::string::npos) {
            error = "a '{' with no '}' after it" + std::string(m_Hex ? "" : " (write {{ for the character)");
            return false;
        }
        Piece counter;
        if (!flush() || !ParseCounter(body.substr(i + 1, close - i - 1), counter, error))
            return false;
        m_Pieces.push_back(counter);
        i = close;
    }
    return flush();
}

std::vector<unsigned char> CHelloPayload::Expand(const HelloCounters& c) const
{
    std::vector<unsigned char> out;
    for (const Piece& p : m_Pieces) {
        if (p.counter == kNone) {
            out.insert(out.end(), p.bytes.begin(), p.bytes.end());
            continue;
        }
        const long long value = p.counter == kLine ? c.line : p.counter == kBox ? c.box : c.serial;
        if (m_Hex) {
            // Most significant byte first, as the wire's offsets.
            for (int i = p.width - 1; i >= 0; --i)
                out.push_back(static_cast<unsigned char>(static_cast<unsigned long long>(value) >> (8 * i)));
            continue;
        }
        std::string digits = std::to_string(value);
        if (static_cast<int>(digits.size()) < p.width)
            digits.insert(0, static_cast<size_t>(p.width) - digits.size(), '0');
        out.insert(out.end(), digits.begin(), digits.end());
    }
    return out;
}

bool CHelloPayload::Fits(const HelloCounters& most, std::string& error) const
{
    for (const Piece& p : m_Pieces) {
        if (!m_Hex || p.counter == kNone || p.width >= 8)
            continue;
        const long long value = p.counter == kLine ? most.line : p.counter == kBox ? most.box : most.serial;
        if (value >> (8 * p.width) != 0) {
            const char* name = p.counter == kLine ? "line" : p.counter == kBox ? "box" : "serial";
            error = std::string("{") + name + "} reaches " + std::to_string(value) + ", more than " +
                    std::to_string(p.width) + " byte" + (p.width > 1 ? "s hold" : " holds");
            return false;
        }
    }
    const size_t length = Expand(most).size();
    if (length > 255) {
        error = "the greeting would carry " + std::to_string(length) + " bytes; a frame carries at most 255";
        return false;
    }
    return true;
}
