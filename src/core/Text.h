#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text helpers shared by every layer: ASCII case folding, UTF-8 repair and
// the bounded echo of client text.

namespace navorel {

char asciiLower(char c);
char asciiUpper(char c);
std::string asciiLower(std::string_view text);
std::string asciiUpper(std::string_view text);
bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b);

// Blanks, tabs and line breaks stripped at both ends.
std::string_view trimBlanks(std::string_view text);

// A fixed-width text field: up to its first NUL or its end, trimmed.
std::string fixedFieldText(const char* field, std::size_t width);

// Length of the valid UTF-8 sequence at the start of text, 0 when it is not
// one (overlong forms, surrogates and code points above U+10FFFF included).
std::size_t utf8SequenceLength(std::string_view text);

// How invalid bytes are repaired: each becomes U+FFFD, or is read as a
// Latin-1 character (scenery files written in that encoding).
enum class InvalidUtf8 { Replace, Latin1 };

// The text with every invalid byte repaired, so that it can always be written
// as JSON.
std::string validUtf8(std::string_view text, InvalidUtf8 policy = InvalidUtf8::Replace);

// The longest prefix of at most maxBytes that does not end inside a UTF-8
// sequence.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

// Text a client sent, made safe to put into a reply or a log line: at most
// maxBytes of it, marked when cut, so that a client can neither inflate
// replies nor flood the log.
inline constexpr std::size_t kClientTextEchoLimit = 64;
std::string clientTextEcho(std::string_view text, std::size_t maxBytes = kClientTextEchoLimit);

}  // namespace navorel
