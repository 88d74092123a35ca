// Seeds: 3mf model xml
#include "fuzz_support.h"
#include "support/xml/xml_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string owned;
    std::string_view text;
    if (!morvex::decodeXmlBytes(morvex::fuzzing::bytesOf(data, size), owned, text))
        return 0;
    morvex::XmlDocument document;
    std::string errorText;
    morvex::parseXmlText(text, document, errorText);
    return 0;
}
