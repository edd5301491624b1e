// The escape handler: unescape(escape(s)) == s for valid UTF-8, escaped text
// holds no bare separator, the assembler's table-driven writer escapes exactly
// like the handler, unescape never grows its input, and a field's components
// join back to its unescaped text. Any byte string must be safe, and the UTF-8
// check agrees with a plain one.
#include "core/escape.hpp"
#include "fuzz_check.hpp"
#include "core/utf8.hpp"

using namespace tessarin;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    static const Hl7EscapeHandler handler = create_default_escape_handler();
    const std::string_view text = fuzz::as_text(data, size);

    std::string escaped;
    handler.escape_into(escaped, text);
    std::string written = "prefix";
    EscapeWriter(handler).write(written, text);
    FUZZ_CHECK(written == "prefix" + escaped && handler.escape(text) == escaped);
    FUZZ_CHECK(escaped.find_first_of("|^~&\t\n\r ") == std::string::npos);
    FUZZ_CHECK(escaped.size() <= 5 * text.size());
    FUZZ_CHECK(is_valid_utf8(text) == fuzz::is_utf8(text));
    if (fuzz::is_utf8(text)) FUZZ_CHECK(handler.unescape(escaped) == text);

    const std::string unescaped = handler.unescape(text);
    FUZZ_CHECK(unescaped.size() <= text.size());
    if (text.find('\\') == std::string_view::npos) FUZZ_CHECK(unescaped == text);
    if (fuzz::is_utf8(text)) FUZZ_CHECK(fuzz::is_utf8(unescaped));

    const std::vector<std::string> components = handler.parse_field_with_escaping(text);
    FUZZ_CHECK(!components.empty());
    std::string joined;
    for (std::size_t i = 0; i < components.size(); ++i) {
        if (i > 0) joined += '^';
        FUZZ_CHECK(components[i].find('^') == std::string::npos);
        joined += components[i];
    }
    FUZZ_CHECK(joined == unescaped);
    return 0;
}
