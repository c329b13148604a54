// Method names: canonical spellings and the one parser that accepts them.
#include "bmf_core/method.hpp"

#include <optional>

namespace bmf {
namespace {

using CodePoint = char32_t;

// A code point decoded from one end of a UTF-8 string and its byte length.
struct Decoded {
    CodePoint cp;
    std::size_t len;
};

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Decodes the code point that starts at byte 0 of `s`; nullopt when the bytes
// there are not a well-formed sequence (such a byte is never white space).
std::optional<Decoded> decode_first(std::string_view s) {
    if (s.empty()) return std::nullopt;
    const auto lead = static_cast<unsigned char>(s[0]);
    std::size_t len = 0;
    CodePoint cp = 0;
    if (lead < 0x80) return Decoded{lead, 1};
    if ((lead & 0xE0) == 0xC0) {
        len = 2;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4;
        cp = lead & 0x07;
    } else {
        return std::nullopt;
    }
    if (s.size() < len) return std::nullopt;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[k]);
        if (!is_continuation(b)) return std::nullopt;
        cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms are malformed, so a byte pair like C0 A0 is no space.
    constexpr CodePoint kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[len]) return std::nullopt;
    return Decoded{cp, len};
}

// Decodes the code point that ends at the last byte of `s`.
std::optional<Decoded> decode_last(std::string_view s) {
    // A code point is at most 4 bytes: step back over at most 3 continuations.
    std::size_t start = s.size();
    for (std::size_t back = 0; back < 4 && start > 0; ++back) {
        --start;
        if (!is_continuation(static_cast<unsigned char>(s[start]))) {
            const auto d = decode_first(s.substr(start));
            if (d && d->len == s.size() - start) return d;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// Unicode White_Space.
bool is_white_space(CodePoint c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string_view trim_white_space(std::string_view s) {
    while (const auto d = decode_first(s)) {
        if (!is_white_space(d->cp)) break;
        s.remove_prefix(d->len);
    }
    while (const auto d = decode_last(s)) {
        if (!is_white_space(d->cp)) break;
        s.remove_suffix(d->len);
    }
    return s;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace

std::variant<Method, InvalidMethod> Method::from_str(std::string_view name) {
    const std::string key = ascii_lower(trim_white_space(name));
    for (std::size_t v = 0; v < kMethodNames.size(); ++v) {
        if (key == kMethodNames[v]) return Method(static_cast<Value>(v));
    }
    return InvalidMethod{std::string(name)};
}

std::string_view Method::name() const { return kMethodNames[value_]; }

std::string joined_method_names() {
    std::string out;
    for (const std::string_view n : kMethodNames) {
        if (!out.empty()) out += ", ";
        out += n;
    }
    return out;
}

std::string InvalidMethod::message() const {
    return "methode inconnue : '" + name + "'. Valeurs acceptees : " + joined_method_names();
}

}  // namespace bmf
