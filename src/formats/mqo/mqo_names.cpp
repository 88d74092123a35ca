#include "formats/mqo/mqo.h"

#include "support/text/text.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>

namespace morvex::mqo {
namespace {

constexpr char32_t ReplacementCharacter = 0xFFFD;

// One conversion descriptor per call: names are few and short, and a
// descriptor is not safe to share between the workers of a run.
class Converter {
public:
    Converter()
    {
        // The Windows form has the vendor characters older encoders lack;
        // the plain form is the fallback where it is not installed.
        descriptor_ = ::iconv_open("UTF-8", "CP932");
        if (descriptor_ == reinterpret_cast<iconv_t>(-1))
            descriptor_ = ::iconv_open("UTF-8", "SHIFT_JIS");
    }
    ~Converter()
    {
        if (valid())
            ::iconv_close(descriptor_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return descriptor_ != reinterpret_cast<iconv_t>(-1); }

    std::string convert(std::string_view text)
    {
        std::string out;
        char buffer[256];
        char* in = const_cast<char*>(text.data());
        std::size_t left = text.size();
        while (left > 0) {
            char* at = buffer;
            std::size_t room = sizeof buffer;
            const std::size_t result = ::iconv(descriptor_, &in, &left, &at, &room);
            out.append(buffer, static_cast<std::size_t>(at - buffer));
            if (result != static_cast<std::size_t>(-1) || errno == E2BIG)
                continue;
            // A byte that starts no character, or a character cut off by
            // the end of the text: one replacement, and on after it.
            appendUtf8(out, ReplacementCharacter);
            ++in;
            --left;
            ::iconv(descriptor_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

private:
    iconv_t descriptor_;
};

} // namespace

std::string shiftJisToUtf8(std::string_view text)
{
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return std::string(text);
    Converter converter;
    if (!converter.valid())
        return sanitizeUtf8(text);
    return converter.convert(text);
}

} // namespace morvex::mqo
